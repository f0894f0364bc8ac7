// Patches against today's whole-file update, on release histories that look
// like game patches:
//   a  one archive of <MiB> (3/4 incompressible blocks, 1/4 text), 1% of it
//      changed in 100 places and 1% (10 MiB per GiB) inserted in the middle;
//   b  50 program-like files of <MiB>/50 each, 10 of them rebuilt the way a
//      recompiled program changes (functions added, removed and edited, so
//      every address after a change moves);
//   c  2,000 small files of 1-32 KiB, 5% of them edited in a few places.
// For the case it prints: the publisher's build time with and without
// patches and the patches' size on disk; `zstd --patch-from` at the same
// level on the same pairs (time and bytes), the reference; then four runs
// of the real engine (the incremental update harness, one process each, a
// fresh installation each whose record of verified files knows every
// installed file): today's tree and the tree with patches, on loopback and
// through a relay throttled to 100 Mbit/s, each with its wall time, the
// bytes the relay passed and its peak memory, anonymous and file-backed
// apart (sampled from /proc every 2 ms). Every run must end with the new
// release byte for byte.
//
// The loopback pair runs `repeats` times (alternating), the throttled pair
// `slow repeats` times.
//
// usage: delta_bench a|b|c [MiB, default 1024] [repeats, default 3] [slow repeats, default 1]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_rng.h"
#include "files/utf16.h"
#include "pack/pack.h"
#include "platform/file_stamp.h"
#include "support/nginx_server.h"
#include "support/tcp_relay.h"
#include "support/temp_dir.h"
#include "update/verified_files.h"

namespace {

namespace fs = std::filesystem;
using launcher::testing::NginxServer;
using launcher::testing::TcpRelay;
using launcher::testing::TempDir;
using Clock = std::chrono::steady_clock;

using launcher::bench::Rng;

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Case a: the archive written in pieces so that 1 GiB never sits in memory
// twice. Release 2 takes the same blocks with 100 changed runs and the
// insertion in the middle.
void MakeArchive(const fs::path& root, std::uint64_t mib) {
  const std::uint64_t size = mib << 20;
  const std::uint64_t block = 64 << 10;
  const std::uint64_t run = size / 100 / 100;  // 100 runs, 1% in all
  std::ofstream v1(root / "1/data/archive.pak", std::ios::binary);
  std::ofstream v2(root / "2/data/archive.pak", std::ios::binary);
  Rng rng{12345};
  Rng edits{777};
  std::uint64_t nextRun = size / 200;
  bool inserted = false;
  for (std::uint64_t at = 0, n = 0; at < size; at += block, ++n) {
    std::string bytes = n % 4 == 3 ? rng.Text(block) : rng.Noise(block);
    bytes.resize(static_cast<std::size_t>(std::min(block, size - at)));
    v1.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    while (nextRun >= at && nextRun < at + bytes.size()) {
      const std::size_t offset = static_cast<std::size_t>(nextRun - at);
      const std::size_t len =
          std::min<std::size_t>(static_cast<std::size_t>(run), bytes.size() - offset);
      bytes.replace(offset, len, edits.Noise(len));
      nextRun += size / 100;
    }
    if (!inserted && at >= size / 2) {
      const std::string insert = edits.Noise(static_cast<std::size_t>(size / 100));
      v2.write(insert.data(), static_cast<std::streamsize>(insert.size()));
      inserted = true;
    }
    v2.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
}

// Case b: a program is a list of functions; code bytes come from a small
// skewed alphabet (compressible like machine code), and every 24-56 bytes
// a call or jump holds the address of some function: mostly relative to
// the end of its own field (rel32, as x86-64 calls are), which changes only
// when code between caller and callee grew or shrank, sometimes absolute
// (pointers, tables), which changes whenever the callee moved.
struct Call {
  std::size_t offset;
  std::size_t callee;
  bool absolute;
};

struct Program {
  std::vector<std::string> bodies;
  std::vector<std::vector<Call>> calls;

  std::string Layout() const {
    std::vector<std::uint32_t> address(bodies.size());
    std::uint32_t at = 4096;
    for (std::size_t i = 0; i < bodies.size(); ++i) {
      address[i] = at;
      at += static_cast<std::uint32_t>(bodies[i].size());
    }
    std::string image(4096, '\0');
    for (std::size_t i = 0; i < bodies.size(); ++i) {
      std::string body = bodies[i];
      for (const Call& call : calls[i]) {
        const std::uint32_t target = address[call.callee % bodies.size()];
        const std::uint32_t value =
            call.absolute ? target
                          : target - (address[i] + static_cast<std::uint32_t>(call.offset) + 4);
        std::memcpy(body.data() + call.offset, &value, 4);
      }
      image += body;
    }
    return image;
  }
};

Program MakeProgram(std::uint64_t size, Rng& rng) {
  static const char kOps[] = "\x48\x89\x8b\xe8\xc3\x0f\x85\x84\x74\x75\xff\x83\x31\xc0\x5d\x55";
  Program p;
  for (std::uint64_t total = 0; total < size;) {
    const std::size_t n = 64 + static_cast<std::size_t>(rng.Next() % 4000);
    std::string body(n, '\0');
    for (char& c : body) {
      const std::uint64_t r = rng.Next();
      c = r % 3 == 0 ? static_cast<char>(r >> 8) : kOps[(r >> 8) % 16];
    }
    std::vector<Call> calls;
    for (std::size_t at = 8; at + 4 <= n; at += 24 + static_cast<std::size_t>(rng.Next() % 33)) {
      const std::uint64_t r = rng.Next();
      calls.push_back({at, static_cast<std::size_t>(r >> 8), r % 7 == 0});
    }
    p.bodies.push_back(std::move(body));
    p.calls.push_back(std::move(calls));
    total += n;
  }
  return p;
}

// A rebuild: a few functions removed, added and edited.
void Recompile(Program& p, Rng& rng) {
  for (int i = 0; i < 6; ++i) {
    const std::size_t at = static_cast<std::size_t>(rng.Next() % p.bodies.size());
    p.bodies.erase(p.bodies.begin() + static_cast<std::ptrdiff_t>(at));
    p.calls.erase(p.calls.begin() + static_cast<std::ptrdiff_t>(at));
  }
  Rng fresh{rng.Next()};
  Program added = MakeProgram(6 * 2000, fresh);
  for (std::size_t i = 0; i < added.bodies.size(); ++i) {
    const std::size_t at = static_cast<std::size_t>(rng.Next() % p.bodies.size());
    p.bodies.insert(p.bodies.begin() + static_cast<std::ptrdiff_t>(at), added.bodies[i]);
    p.calls.insert(p.calls.begin() + static_cast<std::ptrdiff_t>(at), added.calls[i]);
  }
  for (int i = 0; i < 40; ++i) {
    std::string& body = p.bodies[static_cast<std::size_t>(rng.Next() % p.bodies.size())];
    for (int k = 0; k < 8; ++k) body[static_cast<std::size_t>(rng.Next() % body.size())] ^= 0x5a;
  }
}

void MakePrograms(const fs::path& root, std::uint64_t mib) {
  const std::uint64_t each = (mib << 20) / 50;
  for (int i = 0; i < 50; ++i) {
    Rng rng{1000u + static_cast<unsigned>(i)};
    Program p = MakeProgram(each, rng);
    const std::string name = "bin/module" + std::to_string(i) + ".dll";
    WriteFile(root / "1" / name, p.Layout());
    if (i % 5 == 0) Recompile(p, rng);
    WriteFile(root / "2" / name, p.Layout());
  }
}

void MakeSmallFiles(const fs::path& root) {
  Rng rng{99};
  for (int i = 0; i < 2000; ++i) {
    const std::size_t size = 1024 + static_cast<std::size_t>(rng.Next() % (31 << 10));
    std::string bytes = i % 3 == 0 ? rng.Noise(size) : rng.Text(size);
    char name[64];
    std::snprintf(name, sizeof name, "scripts/d%02d/f%04d.dat", i / 100, i);
    WriteFile(root / "1" / name, bytes);
    if (i % 20 == 7) {
      for (int k = 0; k < 3; ++k) {
        const std::size_t at = static_cast<std::size_t>(rng.Next() % bytes.size());
        bytes.insert(at, rng.Text(40 + static_cast<std::size_t>(rng.Next() % 200)));
      }
    }
    WriteFile(root / "2" / name, bytes);
  }
}

struct RunResult {
  double seconds = 0;
  double cpuSeconds = 0;  // user + system time of the process
  int status = -1;
  double peakAnonMiB = 0;
  double peakFileMiB = 0;
};

// Peak RssAnon and RssFile + RssShmem of `pid`, sampled until `stop`.
void Sample(pid_t pid, const std::atomic<bool>& stop, RunResult& result) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  for (; !stop.load(); std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
    std::ifstream in(path);
    std::string line;
    double file = 0;
    // Until it has exec'd, the child is a copy of this process.
    if (std::getline(in, line) && line.find("delta_bench") != std::string::npos) continue;
    while (std::getline(in, line)) {
      const double mib = static_cast<double>(std::atol(line.c_str() + line.find(':') + 1)) / 1024.0;
      if (line.starts_with("RssAnon:")) result.peakAnonMiB = std::max(result.peakAnonMiB, mib);
      if (line.starts_with("RssFile:") || line.starts_with("RssShmem:")) file += mib;
    }
    result.peakFileMiB = std::max(result.peakFileMiB, file);
  }
}

RunResult RunChild(std::vector<std::string> args, bool sample, bool quiet = false) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (quiet) {
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  RunResult result;
  std::atomic<bool> stop{false};
  std::thread sampler;
  if (sample) sampler = std::thread(Sample, pid, std::cref(stop), std::ref(result));
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  result.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  stop = true;
  if (sampler.joinable()) sampler.join();
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::uint64_t TreeBytes(const fs::path& dir) {
  std::uint64_t sum = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec)) sum += it->file_size(ec);
  }
  return sum;
}

std::vector<std::string> Files(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) out.push_back(fs::relative(e.path(), dir).generic_string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

bool SameFile(const fs::path& a, const fs::path& b) {
  return RunChild({"cmp", "-s", a.string(), b.string()}, false).status == 0;
}

class Bench {
 public:
  Bench(const fs::path& root) : root_(root), releases_(root / "releases") {}

  void Prepare(char which, std::uint64_t mib) {
    fs::create_directories(releases_ / "1/data");
    fs::create_directories(releases_ / "2/data");
    if (which == 'a') MakeArchive(releases_, mib);
    if (which == 'b') MakePrograms(releases_, mib);
    if (which == 'c') MakeSmallFiles(releases_);
    for (const std::string& rel : Files(releases_ / "1")) {
      const fs::path v2 = releases_ / "2" / rel;
      if (!SameFile(releases_ / "1" / rel, v2)) changed_.push_back(rel);
      // Unchanged files are linked, as rsync --link-dest keeps snapshots.
      else
        fs::remove(v2), fs::create_hard_link(releases_ / "1" / rel, v2);
      char digest[64] = {};
      launcher::DigestCompressedForm(launcher::FromUtf8Lossy((releases_ / "1" / rel).string()),
                                     digest);
      digests_.emplace_back(rel, digest);
    }
    std::printf("  %zu files, %zu changed, %.1f MiB in release 2\n", digests_.size(),
                changed_.size(), static_cast<double>(TreeBytes(releases_ / "2")) / (1 << 20));
  }

  void Publish() {
    for (int deltas : {0, 3}) {
      const fs::path out = root_ / (deltas == 0 ? "today" : "patched");
      ::sync();
      const RunResult r = RunChild({LAUNCHER_PUBLISH_BIN, "build", "--releases", releases_.string(),
                                    "--key", LAUNCHER_TEST_KEY, "--pid", "1", "--out", out.string(),
                                    "--deltas", std::to_string(deltas)},
                                   true, true);
      std::printf("  publisher build, %s %8.2f s  exit %d  peak anon %.1f MiB  file %.1f MiB\n",
                  deltas == 0 ? "without patches" : "with patches   ", r.seconds, r.status,
                  r.peakAnonMiB, r.peakFileMiB);
    }
    const std::uint64_t disk = TreeBytes(root_ / "patched/patcher/delta");
    const std::uint64_t index = fs::file_size(root_ / "patched/patcher/delta.idx");
    std::printf("  patches on disk %llu bytes, index %llu bytes\n",
                static_cast<unsigned long long>(disk), static_cast<unsigned long long>(index));
  }

  void ZstdTool() {
    const fs::path out = root_ / "tool.zst";
    std::uint64_t bytes = 0;
    double seconds = 0;
    for (const std::string& rel : changed_) {
      const RunResult r = RunChild({"zstd", "-q", "-f", "-3", "--single-thread",
                                    "--patch-from=" + (releases_ / "1" / rel).string(),
                                    (releases_ / "2" / rel).string(), "-o", out.string()},
                                   false, true);
      seconds += r.seconds;
      bytes += fs::file_size(out);
    }
    std::printf("  zstd -3 --patch-from  %8.2f s  bytes %llu\n", seconds,
                static_cast<unsigned long long>(bytes));
  }

  // A fresh installation of release 1: files hard-linked to the release
  // (the engine never writes into an installed file, it renames new ones
  // over them), the version file, and the record of verified files.
  fs::path Install(int n) {
    const fs::path dir = root_ / ("install" + std::to_string(n));
    fs::remove_all(dir);
    fs::create_directories(dir / "launcher");
    fs::create_directories(dir / "config/patcher");
    launcher::VerifiedFiles record;
    for (const auto& [rel, digest] : digests_) {
      const fs::path file = dir / "patcher" / rel;
      fs::create_directories(file.parent_path());
      fs::create_hard_link(releases_ / "1" / rel, file);
      launcher::FileStamp stamp;
      launcher::ReadFileStamp(file, stamp);
      record.Record(u"./" + launcher::Widen(rel), stamp, digest);
    }
    std::ofstream(dir / "config/patcher/version.sw") << "1\r\n";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // no racily clean entry
    record.Save((dir / "config/patcher/verified.sw").u16string());
    return dir;
  }

  void Update(const char* what, const char* tree, bool throttled) {
    const fs::path dir = Install(++installs_);
    NginxServer nginx(root_ / tree);
    TcpRelay::Options options;
    if (throttled) options.rate = 100'000'000 / 8;
    TcpRelay relay(nginx.port(), options);
    ::sync();
    const RunResult r = RunChild(
        {LAUNCHER_UPDATE_HARNESS, (dir / "launcher").string(), relay.BaseUrl(), "1", "2"}, true);
    const std::int64_t wire = relay.WaitIdle().down;
    std::size_t wrong = 0;
    for (const std::string& rel : changed_) {
      if (!SameFile(dir / "patcher" / rel, releases_ / "2" / rel)) ++wrong;
    }
    std::printf(
        "  %-28s %8.2f s  cpu %.2f s  wire %lld  peak anon %.1f MiB  file %.1f MiB  exit %d  "
        "wrong %zu\n",
        what, r.seconds, r.cpuSeconds, static_cast<long long>(wire), r.peakAnonMiB, r.peakFileMiB,
        r.status, wrong);
    fs::remove_all(dir);
  }

 private:
  fs::path root_;
  fs::path releases_;
  std::vector<std::string> changed_;
  std::vector<std::pair<std::string, std::string>> digests_;
  int installs_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const char which = argc > 1 ? argv[1][0] : 'a';
  const std::uint64_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024;
  const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  const int slowRepeats = argc > 4 ? std::max(1, std::atoi(argv[4])) : 1;
  if (which < 'a' || which > 'c' || mib == 0) {
    std::fprintf(stderr, "usage: delta_bench a|b|c [MiB]\n");
    return 64;
  }
  std::printf("case %c, %llu MiB\n", which, static_cast<unsigned long long>(mib));
  TempDir dir;
  Bench bench(dir.path());
  bench.Prepare(which, mib);
  bench.Publish();
  bench.ZstdTool();
  for (int i = 0; i < repeats; ++i) {
    bench.Update("loopback, today", "today", false);
    bench.Update("loopback, patches", "patched", false);
  }
  for (int i = 0; i < slowRepeats; ++i) {
    bench.Update("100 Mbit/s, today", "today", true);
    bench.Update("100 Mbit/s, patches", "patched", true);
  }
  return 0;
}
