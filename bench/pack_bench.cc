// The compression layer on a generated mixed corpus (text, binary records,
// incompressible data, as a game install holds them):
//  1. candidate zstd levels side by side: size, compress and decompress
//     speed (in memory), to justify the frozen level;
//  2. the digest of the compressed form, as the engine takes it for an
//     installed file: CalcCompressFile + DigestBuffer, and
//     DigestCompressedForm, against `zstd --single-thread -c -3 | md5sum`, with the peak
//     memory of each (every run in its own child process);
//  3. DecompressFile against `zstd -d -c > file`.
//
//   pack_bench [--size-mib N (default 1024)] [--levels-mib N (default 64)]
//              [--runs N (default 3)] [--levels 1,3,6,9,12,19]
#define ZSTD_STATIC_LINKING_ONLY
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/md5_digest.h"
#include "files/utf16.h"
#include "pack/pack.h"
#include "pack/pack_format.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed | 1) {}
  std::uint64_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(Next() % n); }

 private:
  std::uint64_t state_;
};

// Text: words drawn with a skewed distribution into lines of settings,
// scripts and prose.
void AppendText(Random& random, std::string& out, std::size_t bytes) {
  static const char* const kWords[] = {
      "the",    "of",      "and",   "player", "quest",   "item",     "level", "sword",
      "damage", "texture", "sound", "map",    "version", "enabled",  "true",  "false",
      "return", "local",   "end",   "if",     "then",    "function", "name",  "value",
      "north",  "castle",  "guard", "gold",   "shield",  "spell",    "mana",  "health"};
  const std::size_t end = out.size() + bytes;
  while (out.size() < end) {
    const std::uint32_t kind = random.Below(3);
    if (kind == 0) {
      out += kWords[random.Below(8) + random.Below(24)];
      out += " = ";
      out += std::to_string(random.Below(100000));
    } else {
      const std::uint32_t words = 4 + random.Below(12);
      for (std::uint32_t w = 0; w < words; ++w) {
        out += kWords[std::min(random.Below(32), random.Below(32))];
        out += w + 1 < words ? " " : (kind == 1 ? ";" : ".");
      }
    }
    out += '\n';
  }
  out.resize(end);
}

// Binary: fixed-layout records (ids, small counters, floats that change
// slowly) mixed with code-like byte runs from a small alphabet.
void AppendBinary(Random& random, std::string& out, std::size_t bytes) {
  static const unsigned char kOpcodes[] = {0x48, 0x89, 0x8b, 0xe8, 0x0f, 0x85, 0x84, 0xc3,
                                           0x55, 0x5d, 0x31, 0xc0, 0x83, 0xec, 0x74, 0xeb};
  const std::size_t end = out.size() + bytes;
  float x = 0.0f;
  std::uint32_t id = 1000;
  while (out.size() < end) {
    if (random.Below(2) == 0) {
      for (int i = 0; i < 64; ++i) {
        id += 1 + random.Below(3);
        x += static_cast<float>(random.Below(100)) * 0.01f;
        const std::uint16_t counter = static_cast<std::uint16_t>(random.Below(300));
        out.append(reinterpret_cast<const char*>(&id), sizeof id);
        out.append(reinterpret_cast<const char*>(&x), sizeof x);
        out.append(reinterpret_cast<const char*>(&counter), sizeof counter);
        out.append(2, '\0');
      }
    } else {
      for (int i = 0; i < 512; ++i) {
        out.push_back(static_cast<char>(kOpcodes[random.Below(16)]));
        if (random.Below(4) == 0) {
          const std::uint32_t address = 0x00401000u + random.Below(0x10000);
          out.append(reinterpret_cast<const char*>(&address), sizeof address);
        }
      }
    }
  }
  out.resize(end);
}

// Already compressed data (images, audio, archives): no redundancy left.
void AppendNoise(Random& random, std::string& out, std::size_t bytes) {
  const std::size_t end = out.size() + bytes;
  while (out.size() < end) {
    const std::uint64_t v = random.Next();
    out.append(reinterpret_cast<const char*>(&v), sizeof v);
  }
  out.resize(end);
}

// 40% text, 40% binary, 20% noise, in pieces of 64 KiB to 2 MiB as separate
// files would be.
void WriteCorpus(const fs::path& path, std::uint64_t size) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  Random random(20261209);
  std::string piece;
  for (std::uint64_t written = 0; written < size;) {
    piece.clear();
    const std::size_t length =
        std::min<std::uint64_t>(size - written, (std::size_t{64} << 10) + random.Below(2u << 20));
    const std::uint32_t kind = random.Below(10);
    if (kind < 4) {
      AppendText(random, piece, length);
    } else if (kind < 8) {
      AppendBinary(random, piece, length);
    } else {
      AppendNoise(random, piece, length);
    }
    file.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    written += piece.size();
  }
}

struct Stats {
  double median, min, max;
};

Stats Summarise(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return {values[values.size() / 2], values.front(), values.back()};
}

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Wall time, CPU time (user + system, the process and what it waited for)
// and peak resident memory of one run in a child process.
struct Sample {
  double wall = 0;
  double cpu = 0;
  long peakKib = 0;
  std::string output;  // first line the child wrote (up to 63 bytes)
};

double CpuSeconds(const struct rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs `sh -c command` in a child whose standard output comes back in
// Sample::output. Our own operations run as a fresh copy of this program
// ("--child <operation> <path>"), so their peak memory is theirs alone. The
// machine may be shared, so the CPU time is the steadier figure.
Sample InChild(const std::string& command) {
  Sample sample;
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return sample;
  const auto start = Clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) return sample;
  if (pid == 0) {
    ::close(pipeFds[0]);
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  char buffer[64] = {};
  std::size_t filled = 0;
  for (ssize_t n; filled < sizeof buffer - 1 &&
                  (n = ::read(pipeFds[0], buffer + filled, sizeof buffer - 1 - filled)) > 0;) {
    filled += static_cast<std::size_t>(n);
  }
  ::close(pipeFds[0]);
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  sample.wall = Seconds(start);
  sample.cpu = CpuSeconds(usage);
  sample.peakKib = usage.ru_maxrss;
  sample.output.assign(buffer, std::min<std::size_t>(filled, 32));
  return sample;
}

double ProcessCpu() {
  struct timespec now {};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void CompareLevels(const fs::path& corpus, const std::vector<int>& levels) {
  const std::u16string path = launcher::FromUtf8Lossy(corpus.string());
  const auto size = static_cast<double>(fs::file_size(corpus));
  std::printf("\nlevels on %.0f MiB (in memory, one thread, CPU time):\n", size / (1 << 20));
  std::printf("%6s %12s %7s %12s %12s %9s\n", "level", "bytes", "ratio", "comp MiB/s",
              "decomp MiB/s", "ctx MiB");
  for (const int level : levels) {
    const launcher::PackParameters parameters = launcher::LibraryParametersForLevel(level);
    std::string compressed;
    double start = ProcessCpu();
    launcher::CompressFileToSink(path, parameters, [&](const unsigned char* data, std::size_t n) {
      compressed.append(reinterpret_cast<const char*>(data), n);
      return true;
    });
    const double compressSeconds = ProcessCpu() - start;
    std::string restored(static_cast<std::size_t>(size), '\0');
    start = ProcessCpu();
    const std::size_t n =
        ZSTD_decompress(restored.data(), restored.size(), compressed.data(), compressed.size());
    const double decompressSeconds = ProcessCpu() - start;
    if (ZSTD_isError(n) || n != restored.size())
      std::printf("level %d: round trip failed\n", level);
    const launcher::MatchParameters& m = parameters.bySize.back();
    ZSTD_compressionParameters c{};
    c.windowLog = static_cast<unsigned>(m.windowLog);
    c.chainLog = static_cast<unsigned>(m.chainLog);
    c.hashLog = static_cast<unsigned>(m.hashLog);
    c.searchLog = static_cast<unsigned>(m.searchLog);
    c.minMatch = static_cast<unsigned>(m.minMatch);
    c.targetLength = static_cast<unsigned>(m.targetLength);
    c.strategy = static_cast<ZSTD_strategy>(m.strategy);
    std::printf("%6d %12zu %7.3f %12.1f %12.1f %9.1f\n", level, compressed.size(),
                size / static_cast<double>(compressed.size()), size / (1 << 20) / compressSeconds,
                size / (1 << 20) / decompressSeconds,
                static_cast<double>(ZSTD_estimateCStreamSize_usingCParams(c)) / (1 << 20));
  }
}

void Report(const char* name, const std::vector<Sample>& samples, double mib) {
  std::vector<double> wall, cpu;
  long peak = 0;
  for (const Sample& sample : samples) {
    wall.push_back(sample.wall);
    cpu.push_back(sample.cpu);
    peak = std::max(peak, sample.peakKib);
  }
  const Stats w = Summarise(wall);
  const Stats c = Summarise(cpu);
  std::printf(
      "%-32s wall median %6.2f s min %6.2f max %6.2f | cpu median %6.2f s (%6.1f MiB/s)"
      " | peak RSS %5.0f MiB\n",
      name, w.median, w.min, w.max, c.median, mib / c.median, static_cast<double>(peak) / 1024);
}

double MedianCpu(const std::vector<Sample>& samples) {
  std::vector<double> cpu;
  for (const Sample& sample : samples) cpu.push_back(sample.cpu);
  return Summarise(cpu).median;
}

double MedianWall(const std::vector<Sample>& samples) {
  std::vector<double> wall;
  for (const Sample& sample : samples) wall.push_back(sample.wall);
  return Summarise(wall).median;
}

long ResidentKib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

std::string g_self;  // this program, for the child runs

std::string ChildCommand(const char* operation, const fs::path& path) {
  return "'" + g_self + "' --child " + operation + " '" + path.string() + "'";
}

// One operation of a child run; prints its result on standard output.
int RunChild(const std::string& operation, const char* path, const char* target) {
  const std::u16string source = launcher::FromUtf8Lossy(path);
  char digest[50] = {};
  if (operation == "calc") {
    std::int64_t count = 0;
    unsigned char* buffer = nullptr;
    launcher::CalcCompressFile(source, count, buffer);
    launcher::DigestBuffer(buffer, count, digest);
    launcher::ReleasePackBuf(buffer);
  } else if (operation == "stream") {
    launcher::DigestCompressedForm(source, digest);
  } else if (operation == "decompress" && target != nullptr) {
    std::strcpy(digest, launcher::DecompressFile(source, launcher::FromUtf8Lossy(target))
                            ? "ok"
                            : "failed");
  } else {
    return 2;
  }
  std::fputs(digest, stdout);
  return 0;
}

void CompareDigests(const fs::path& corpus, int runs) {
  const std::u16string path = launcher::FromUtf8Lossy(corpus.string());
  const double mib = static_cast<double>(fs::file_size(corpus)) / (1 << 20);
  const int level = launcher::FrozenPackParameters().level;
  std::printf("\ncompressed-form digest of %.0f MiB at level %d, %d runs:\n", mib, level, runs);
  const std::string cliName = "zstd --single-thread -" + std::to_string(level) + " | md5sum";
  const std::string cli = "zstd -q --single-thread -c -" + std::to_string(level) + " '" +
                          corpus.string() + "' | md5sum";
  std::vector<Sample> calc, stream, tool;
  for (int run = 0; run < runs; ++run) {
    calc.push_back(InChild(ChildCommand("calc", corpus)));
    stream.push_back(InChild(ChildCommand("stream", corpus)));
    tool.push_back(InChild(cli));
  }
  Report("CalcCompressFile + DigestBuffer", calc, mib);
  Report("DigestCompressedForm", stream, mib);
  Report(cliName.c_str(), tool, mib);
  std::printf(
      "ratios to the tool (medians): CalcCompressFile+digest cpu %.2f wall %.2f, "
      "DigestCompressedForm cpu %.2f wall %.2f\n",
      MedianCpu(calc) / MedianCpu(tool), MedianWall(calc) / MedianWall(tool),
      MedianCpu(stream) / MedianCpu(tool), MedianWall(stream) / MedianWall(tool));
  const bool equal =
      calc.back().output == stream.back().output && stream.back().output == tool.back().output;
  std::printf("digests: %s %s %s (%s)\n", calc.back().output.c_str(), stream.back().output.c_str(),
              tool.back().output.c_str(), equal ? "equal" : "DIFFERENT");
}

void CompareDecompression(const fs::path& corpus, int runs) {
  const fs::path packed = corpus.string() + ".zst";
  const fs::path out = corpus.string() + ".out";
  launcher::CompressFileTo(launcher::FromUtf8Lossy(corpus.string()),
                           launcher::FromUtf8Lossy(packed.string()), nullptr);
  const double mib = static_cast<double>(fs::file_size(corpus)) / (1 << 20);
  const std::string command = "zstd -q -d -c '" + packed.string() + "' > '" + out.string() +
                              "' && sync '" + out.string() + "'";
  std::vector<Sample> ours, tool;
  for (int run = 0; run < runs; ++run) {
    ours.push_back(InChild(ChildCommand("decompress", packed) + " '" + out.string() + "'"));
    tool.push_back(InChild(command));
  }
  std::printf("\ndecompression of %.0f MiB (compressed %.0f MiB) to a file, synced to disk:\n", mib,
              static_cast<double>(fs::file_size(packed)) / (1 << 20));
  Report("DecompressFile", ours, mib);
  Report("zstd -d -c > file && sync", tool, mib);
  std::printf("ratios to the tool (medians): cpu %.2f wall %.2f\n",
              MedianCpu(ours) / MedianCpu(tool), MedianWall(ours) / MedianWall(tool));
  fs::remove(packed);
  fs::remove(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "--child") == 0) {
    return RunChild(argv[2], argv[3], argc >= 5 ? argv[4] : nullptr);
  }
  g_self = fs::read_symlink("/proc/self/exe").string();
  std::uint64_t sizeMib = 1024;
  std::uint64_t levelsMib = 64;
  int runs = 3;
  std::vector<int> levels = {1, 3, 6, 9, 12, 19};
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--size-mib") sizeMib = std::strtoull(argv[i + 1], nullptr, 10);
    if (option == "--levels-mib") levelsMib = std::strtoull(argv[i + 1], nullptr, 10);
    if (option == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    if (option == "--levels") {
      levels.clear();
      std::stringstream list(argv[i + 1]);
      for (std::string item; std::getline(list, item, ',');)
        levels.push_back(std::atoi(item.c_str()));
    }
  }
  const fs::path dir = fs::temp_directory_path() / ("pack-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  if (levelsMib > 0 && !levels.empty()) {
    WriteCorpus(dir / "levels.bin", levelsMib << 20);
    CompareLevels(dir / "levels.bin", levels);
    fs::remove(dir / "levels.bin");
  }
  if (sizeMib > 0) {
    WriteCorpus(dir / "corpus.bin", sizeMib << 20);
    // A child's peak RSS starts from what it shares with this process at the
    // fork; give the heap back so that the figures are the children's own.
    ::malloc_trim(0);
    std::printf("\n(peak RSS figures include this process's %ld MiB at the fork)\n",
                ResidentKib() / 1024);
    CompareDigests(dir / "corpus.bin", runs);
    CompareDecompression(dir / "corpus.bin", runs);
  }
  fs::remove_all(dir);
  return 0;
}
