// DigestFile against md5sum on the same file (default 1 GiB, generated once
// and read from the page cache by both). Prints median/min/max of each and
// the ratio of the medians.
//
//   digest_bench [--size-mib N] [--runs N] [--file PATH]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crypto/md5_digest.h"
#include "files/utf16.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Stats {
  double median, min, max;
};

Stats Summarise(std::vector<double> seconds) {
  std::sort(seconds.begin(), seconds.end());
  return {seconds[seconds.size() / 2], seconds.front(), seconds.back()};
}

void WriteRandomFile(const std::filesystem::path& path, std::uint64_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<std::uint64_t> block(1 << 17);
  std::uint64_t state = 0x9e3779b97f4a7c15u;
  for (std::uint64_t written = 0; written < size;) {
    for (auto& word : block) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      word = state;
    }
    const std::uint64_t n = std::min<std::uint64_t>(size - written, block.size() * 8);
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
    written += n;
  }
}

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Sample {
  double wall = 0;
  double cpu = 0;
  std::string output;  // the first 32 bytes the child wrote
};

// Runs `sh -c command`; wall time, CPU time (user + system of the shell and
// what it waited for) and its output. The machine may be shared, so the CPU
// time is the steadier figure.
Sample Run(const std::string& command) {
  Sample sample;
  int fds[2];
  if (::pipe(fds) != 0) return sample;
  const auto start = Clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) return sample;
  if (pid == 0) {
    ::close(fds[0]);
    ::dup2(fds[1], STDOUT_FILENO);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  char buffer[64] = {};
  std::size_t filled = 0;
  for (ssize_t n; filled < 32 && (n = ::read(fds[0], buffer + filled, 32 - filled)) > 0;) {
    filled += static_cast<std::size_t>(n);
  }
  ::close(fds[0]);
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  sample.wall = Seconds(start);
  sample.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  sample.output.assign(buffer, filled);
  return sample;
}

void Report(const char* name, const std::vector<Sample>& samples, double mib) {
  std::vector<double> wall, cpu;
  for (const Sample& sample : samples) {
    wall.push_back(sample.wall);
    cpu.push_back(sample.cpu);
  }
  const Stats w = Summarise(wall);
  const Stats c = Summarise(cpu);
  std::printf(
      "%-10s wall median %6.3f s (%5.0f MiB/s) min %6.3f max %6.3f | cpu median %6.3f s "
      "(%5.0f MiB/s) min %6.3f max %6.3f\n",
      name, w.median, mib / w.median, w.min, w.max, c.median, mib / c.median, c.min, c.max);
}

double Median(const std::vector<Sample>& samples, double Sample::*field) {
  std::vector<double> values;
  for (const Sample& sample : samples) values.push_back(sample.*field);
  return Summarise(values).median;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--child") == 0) {
    // One DigestFile, with a progress callback as cheap as the engine's.
    char digest[50] = {};
    int lastPercent = 0;
    launcher::DigestFile(launcher::FromUtf8Lossy(argv[2]), digest,
                         [&lastPercent](int percent) { lastPercent = percent; });
    std::fputs(digest, stdout);
    return lastPercent == 100 ? 0 : 1;
  }
  std::uint64_t sizeMib = 1024;
  int runs = 5;
  std::filesystem::path file;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--size-mib") == 0) sizeMib = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--file") == 0) file = argv[i + 1];
  }
  const bool generated = file.empty();
  if (generated) {
    file = std::filesystem::temp_directory_path() /
           ("digest-bench-" + std::to_string(::getpid()) + ".bin");
    std::printf("generating %llu MiB at %s\n", static_cast<unsigned long long>(sizeMib),
                file.c_str());
    WriteRandomFile(file, sizeMib << 20);
  }
  const double mib = static_cast<double>(std::filesystem::file_size(file)) / (1 << 20);
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string ours = "'" + self + "' --child '" + file.string() + "'";
  const std::string theirs = "md5sum '" + file.string() + "'";

  // Warm the page cache so that both sides read from memory.
  const std::string expected = Run(theirs).output;
  std::vector<Sample> digestFile, md5sum;
  bool equal = true;
  for (int run = 0; run < runs; ++run) {
    digestFile.push_back(Run(ours));
    md5sum.push_back(Run(theirs));
    equal = equal && digestFile.back().output == expected && md5sum.back().output == expected;
  }
  std::printf("file: %.0f MiB, %d runs, digests %s\n", mib, runs, equal ? "equal" : "DIFFERENT");
  Report("DigestFile", digestFile, mib);
  Report("md5sum", md5sum, mib);
  std::printf("ratio DigestFile/md5sum (medians): cpu %.2f wall %.2f\n",
              Median(digestFile, &Sample::cpu) / Median(md5sum, &Sample::cpu),
              Median(digestFile, &Sample::wall) / Median(md5sum, &Sample::wall));
  if (generated) std::filesystem::remove(file);
  return equal ? 0 : 1;
}
