// The incremental update as a whole, run as the real engine in its own
// process (the test harness that runs one RunIncrementalUpdate) against a
// local nginx:
//   1. a large update (default 1 GiB in 50 changed files) against the same
//      downloads and decompressions done by `curl` + `zstd -d`;
//   2. many small files (1-10 KiB): time per entry at 1,000 and at 10,000
//      entries, and the growth between them (linear growth keeps it near 1).
// The installation is one the launcher itself brought to version 100, so its
// record of verified files knows every installed file; the large update also
// runs once on the same tree without the record (a tree the launcher has
// never seen, whose every file it must compress to compare).
//   3. with "resume": the large update killed (SIGKILL) once half its files
//      are fetched, then a second run, against `curl` fetching alone the
//      files that second run still has to fetch, and against `curl` +
//      `zstd -d` of those files.
// The baseline's output is written back (untimed) before the launcher runs.
// Prints wall time and peak resident memory of each run.
//
// usage: incremental_bench [large MiB, default 1024] [large files, default 50]
//                          [small files, default 10000] [runs, default 3] [resume]
// A large size of 0 runs the small-file part alone.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "crypto/signer.h"
#include "files/utf16.h"
#include "pack/pack.h"
#include "platform/file_stamp.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"
#include "update/list_path.h"
#include "update/verified_files.h"

namespace {

namespace fs = std::filesystem;
using launcher::testing::NginxServer;
using launcher::testing::TempDir;
using Clock = std::chrono::steady_clock;

struct RunResult {
  double seconds = 0;
  double cpuSeconds = 0;  // user + system time of the process itself
  long peakRssKb = 0;
  int status = -1;
};

RunResult RunChild(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  RunResult result;
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  result.peakRssKb = usage.ru_maxrss;
  result.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// Deterministic content: 64 KiB blocks alternating noise and repetitive
// text, so decompression and compression both have real work.
void WriteContent(const fs::path& path, std::uint64_t bytes, std::uint64_t seed) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  std::string block(64 * 1024, '\0');
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (std::uint64_t done = 0, n = 0; done < bytes; ++n) {
    if (n % 2 == 0) {
      for (char& c : block) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        c = static_cast<char>(x & 0xFF);
      }
    } else {
      const std::string words =
          "texture mesh sound script level " + std::to_string(seed + n) + "\n";
      for (std::size_t i = 0; i < block.size(); ++i) block[i] = words[i % words.size()];
    }
    const auto take = std::min<std::uint64_t>(bytes - done, block.size());
    out.write(block.data(), static_cast<std::streamsize>(take));
    done += take;
  }
}

struct Scenario {
  std::vector<std::string> paths;  // relative, "d017/f00042.bin"
  std::vector<std::uint64_t> sizes;
};

// The record of verified files a launcher run leaves for the installation:
// every installed file with its stamp and digest.
void WriteRecord(const fs::path& root, const Scenario& scenario) {
  launcher::VerifiedFiles record;
  for (const std::string& rel : scenario.paths) {
    const fs::path file = root / "patcher" / rel;
    char digest[64] = {};
    launcher::FileStamp stamp;
    if (launcher::DigestCompressedForm(file.u16string(), digest) &&
        launcher::ReadFileStamp(file, stamp)) {
      record.Record(u"./" + launcher::Widen(rel), stamp, digest);
    }
  }
  // Saved well after the last file was written, so no entry is racily clean.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  record.Save((root / "config" / "patcher" / "verified.sw").u16string());
}

// An installation at version 100 and a served tree whose v-1.inc changes
// every file of `scenario`.
void Prepare(const fs::path& root, const Scenario& scenario) {
  const fs::path served = root / "served";
  fs::create_directories(served / "patcher" / "patcher");
  fs::create_directories(root / "launcher");
  fs::create_directories(root / "config" / "patcher");
  std::ofstream(served / "patcher" / "version") << "101\n";
  std::ofstream(root / "config" / "patcher" / "version.sw") << "100\r\n";
  std::string list;
  std::string currentDir = "\x01";
  const fs::path scratch = root / "scratch.bin";
  for (std::size_t i = 0; i < scenario.paths.size(); ++i) {
    const std::string& rel = scenario.paths[i];
    WriteContent(root / "patcher" / rel, scenario.sizes[i], 1000 + i);
    WriteContent(scratch, scenario.sizes[i], 500000 + i);
    const std::string encoded = launcher::EncodeListPath(rel);
    const fs::path target = served / "patcher" / "patcher" / encoded.substr(2);
    fs::create_directories(target.parent_path());
    char digest[64] = {};
    launcher::CompressFileTo(launcher::FromUtf8Lossy(scratch.string()),
                             launcher::FromUtf8Lossy(target.string()), digest);
    const std::string dir = rel.substr(0, rel.rfind('/'));
    std::string token;
    if (dir != currentDir) {
      currentDir = dir;
      token = encoded.substr(1);
    } else {
      token = launcher::EncodeListName(rel.substr(rel.rfind('/') + 1));
    }
    list.append(1, '+').append(digest).append(1, ' ').append(token).append(1, '\n');
  }
  fs::remove(scratch);
  auto signedList =
      launcher::MakeSignedFile(launcher::testing::ReadFileBytes(LAUNCHER_TEST_KEY), list);
  std::ofstream(served / "patcher" / "v-1.inc", std::ios::binary) << *signedList;
  WriteRecord(root, scenario);
  // The engine syncs each decompressed file; with an ordered journal that
  // would also flush whatever the preparation left dirty, so do it now.
  ::sync();
}

RunResult RunEngine(const fs::path& root, const std::string& baseUrl) {
  return RunChild({LAUNCHER_UPDATE_HARNESS, (root / "launcher").string(), baseUrl, "100", "101"});
}

RunResult RunBaseline(const fs::path& root, const Scenario& scenario, const std::string& baseUrl) {
  const fs::path out = root / "baseline";
  std::string script = "set -e\n";
  for (const std::string& rel : scenario.paths) {
    fs::create_directories((out / rel).parent_path());
    const std::string url = baseUrl + "patcher/patcher/" + launcher::EncodeListPath(rel);
    script += "curl -s -f --http1.0 --path-as-is -o '" + (root / "dl.tmp").string() + "' '" + url +
              "'\nzstd -q -d -f '" + (root / "dl.tmp").string() + "' -o '" + (out / rel).string() +
              "'\n";
  }
  return RunChild({"sh", "-c", script});
}

// The baseline leaves its output dirty in the page cache; it is written back
// here, untimed, so that the launcher's syncs do not wait for the baseline's
// data as well as its own.
void FlushBaselineOutput() { ::sync(); }

void Report(const char* what, const RunResult& r) {
  std::printf("  %-30s %8.2f s wall %8.2f s cpu  peak %6.1f MiB  exit %d\n", what, r.seconds,
              r.cpuSeconds, static_cast<double>(r.peakRssKb) / 1024.0, r.status);
}

// Entries the resume record says are fetched, or -1 while there is none.
int EntriesDoneOnDisk(const fs::path& root) {
  std::ifstream in(root / "config" / "patcher" / "ustate.sw");
  int version = 0;
  int entries = -1;
  if (!(in >> version >> entries)) return -1;
  return entries;
}

// The large update killed once `killAt` entries are fetched, then run
// again; the baseline fetches the files the second run has left with curl.
void RunResumed(const fs::path& root, const Scenario& scenario, const std::string& baseUrl,
                int killAt) {
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const std::string dir = (root / "launcher").string();
    execl(LAUNCHER_UPDATE_HARNESS, LAUNCHER_UPDATE_HARNESS, dir.c_str(), baseUrl.c_str(), "100",
          "101", static_cast<char*>(nullptr));
    _exit(127);
  }
  int done = -1;
  while ((done = EntriesDoneOnDisk(root)) < killAt) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  const double firstSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  done = std::max(0, EntriesDoneOnDisk(root));
  std::printf("  first run killed after %.2f s with %d of %zu entries fetched\n", firstSeconds,
              done, scenario.paths.size());

  std::string script = "set -e\n";
  for (std::size_t i = static_cast<std::size_t>(done); i < scenario.paths.size(); ++i) {
    const std::string url =
        baseUrl + "patcher/patcher/" + launcher::EncodeListPath(scenario.paths[i]);
    script += "curl -s -f --path-as-is -o '" + (root / "dl.tmp").string() + "' '" + url + "'\n";
  }
  const RunResult baseline = RunChild({"sh", "-c", script});
  // The same files fetched and decompressed, as the second run must.
  std::string withZstd = "set -e\n";
  for (std::size_t i = static_cast<std::size_t>(done); i < scenario.paths.size(); ++i) {
    const std::string url =
        baseUrl + "patcher/patcher/" + launcher::EncodeListPath(scenario.paths[i]);
    const fs::path out = root / "baseline" / scenario.paths[i];
    fs::create_directories(out.parent_path());
    withZstd += "curl -s -f --path-as-is -o '" + (root / "dl.tmp").string() + "' '" + url +
                "'\nzstd -q -d -f '" + (root / "dl.tmp").string() + "' -o '" + out.string() + "'\n";
  }
  const RunResult decompressed = RunChild({"sh", "-c", withZstd});
  FlushBaselineOutput();
  const RunResult second = RunEngine(root, baseUrl);
  Report("curl, the files left", baseline);
  Report("curl + zstd -d, the files left", decompressed);
  Report("launcher second run", second);
  std::printf("  ratio second run / download alone: %.2f\n", second.seconds / baseline.seconds);
  std::printf("  ratio second run / download and decompression: %.2f\n",
              second.seconds / decompressed.seconds);
}

Scenario SmallFiles(int count) {
  Scenario s;
  for (int i = 0; i < count; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "d%03d/f%05d.dat", i / 100, i);
    s.paths.push_back(name);
    s.sizes.push_back(1024 + static_cast<std::uint64_t>((i * 7919) % 9217));
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::uint64_t largeMiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const int largeFiles = argc > 2 ? std::atoi(argv[2]) : 50;
  const int smallFiles = argc > 3 ? std::atoi(argv[3]) : 10000;
  const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
  const bool resume = argc > 5 && std::string(argv[5]) == "resume";

  if (largeMiB > 0 && largeFiles > 0) {
    TempDir dir;
    Scenario large;
    for (int i = 0; i < largeFiles; ++i) {
      large.paths.push_back("data" + std::to_string(i % 5) + "/pack" + std::to_string(i) + ".pak");
      large.sizes.push_back(largeMiB * 1024 * 1024 / static_cast<std::uint64_t>(largeFiles));
    }
    std::printf("large update: %llu MiB in %d changed files\n",
                static_cast<unsigned long long>(largeMiB), largeFiles);
    Prepare(dir.path(), large);
    NginxServer nginx(dir.path() / "served");
    RunResult baseline = RunBaseline(dir.path(), large, nginx.BaseUrl());
    // The shell's figure is its own; its curl and zstd are counted among the
    // children waited for so far, and the baseline is the first of those.
    rusage children{};
    getrusage(RUSAGE_CHILDREN, &children);
    baseline.peakRssKb = children.ru_maxrss;
    FlushBaselineOutput();
    const RunResult engine = RunEngine(dir.path(), nginx.BaseUrl());
    Report("curl + zstd -d", baseline);
    Report("launcher incremental update", engine);
    std::printf("  ratio launcher / baseline: %.2f\n", engine.seconds / baseline.seconds);
    // The same update of a tree the launcher has no record of.
    TempDir unknown;
    Prepare(unknown.path(), large);
    fs::remove(unknown.path() / "config" / "patcher" / "verified.sw");
    NginxServer nginx2(unknown.path() / "served");
    const RunResult blind = RunEngine(unknown.path(), nginx2.BaseUrl());
    Report("launcher, no record", blind);
    std::printf("  ratio without the record / baseline: %.2f\n", blind.seconds / baseline.seconds);
  }
  if (resume && largeMiB > 0 && largeFiles > 1) {
    TempDir dir;
    Scenario large;
    for (int i = 0; i < largeFiles; ++i) {
      large.paths.push_back("data" + std::to_string(i % 5) + "/pack" + std::to_string(i) + ".pak");
      large.sizes.push_back(largeMiB * 1024 * 1024 / static_cast<std::uint64_t>(largeFiles));
    }
    std::printf("interrupted update: %llu MiB in %d changed files\n",
                static_cast<unsigned long long>(largeMiB), largeFiles);
    Prepare(dir.path(), large);
    NginxServer nginx(dir.path() / "served");
    RunResumed(dir.path(), large, nginx.BaseUrl(), largeFiles / 2);
    return 0;
  }

  // The disk is shared with other work, so each size is run `runs` times on
  // a fresh installation and the fastest run counts.
  double perEntry[2] = {0, 0};
  double cpuPerEntry[2] = {0, 0};
  const int counts[2] = {smallFiles / 10, smallFiles};
  for (int k = 0; k < 2; ++k) {
    std::printf("small files: %d entries of 1-10 KiB\n", counts[k]);
    const Scenario small = SmallFiles(counts[k]);
    for (int run = 0; run < runs; ++run) {
      TempDir dir;
      Prepare(dir.path(), small);
      NginxServer nginx(dir.path() / "served");
      const RunResult engine = RunEngine(dir.path(), nginx.BaseUrl());
      Report("launcher incremental update", engine);
      const double each = engine.seconds / counts[k];
      const double cpuEach = engine.cpuSeconds / counts[k];
      if (run == 0 || each < perEntry[k]) perEntry[k] = each;
      if (run == 0 || cpuEach < cpuPerEntry[k]) cpuPerEntry[k] = cpuEach;
    }
    std::printf("  per entry (fastest run): %.3f ms wall, %.3f ms cpu\n", perEntry[k] * 1000.0,
                cpuPerEntry[k] * 1000.0);
  }
  // Wall time follows the shared disk's latency (every staged file is
  // synced); the engine's own work per entry shows in its CPU time.
  std::printf("growth of time per entry, %d -> %d entries: %.2f wall, %.2f cpu (1.00 is linear)\n",
              counts[0], counts[1], perEntry[1] / perEntry[0], cpuPerEntry[1] / cpuPerEntry[0]);
  return 0;
}
