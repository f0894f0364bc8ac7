// launcher-publish build on a generated release history, against the work a
// standard tool chain must do at the least: zstd on every file of the newest
// version plus md5sum of the results. Prints wall time and peak memory of
// both and their ratio.
//
// The history: version 1 of about <MiB> of mixed text-like and random files
// (many small, a few large); each later version rewrites about 5% of the
// files, adds and deletes a few, and hard-links the rest to the previous
// version (as "rsync --link-dest" keeps snapshots), or copies them with
// --copy (then unchanged files must be read to be recognised).
//
// usage: publish_bench [MiB per version, default 1024] [versions, default 5] [--copy]
//        (LAUNCHER_PUBLISH_BIN overrides the tool's path; BENCH_DIR the scratch place;
//        BENCH_KEEP=1 keeps the generated history and tree)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_rng.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using launcher::bench::Rng;

void WriteContent(const fs::path& path, std::uint64_t bytes, bool text, Rng& rng) {
  static const char* const kWords[] = {"update ", "patch ", "player ", "texture ", "model ",
                                       "sound ",  "0x1f ",  "level ",  "quest ",   "item\n",
                                       "map ",    "npc ",   "spell ",  "= ",       "; "};
  std::string buffer;
  buffer.reserve(1 << 20);
  std::ofstream out(path, std::ios::binary);
  for (std::uint64_t left = bytes; left > 0;) {
    buffer.clear();
    while (buffer.size() < (1u << 20) && buffer.size() < left) {
      const std::uint64_t r = rng.Next();
      if (text) {
        buffer += kWords[r % 15];
        if ((r >> 8) % 7 == 0) buffer += std::to_string((r >> 16) % 100000);
      } else {
        buffer.append(reinterpret_cast<const char*>(&r), sizeof r);
      }
    }
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
    out.write(buffer.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
}

struct FileSpec {
  std::string path;
  std::uint64_t size;
  bool text;
};

void MakeHistory(const fs::path& releases, std::uint64_t mib, int versions, bool copy) {
  Rng rng{0x9E3779B97F4A7C15ull};
  std::vector<FileSpec> files;
  const std::uint64_t total = mib << 20;
  std::uint64_t sum = 0;
  for (int i = 0; sum < total; ++i) {
    const bool large = i % 100 == 0;
    const std::uint64_t size =
        large ? (8u << 20) + rng.Next() % (48u << 20) : 4096 + rng.Next() % (256u << 10);
    files.push_back({"dir" + std::to_string(i % 37) + "/sub" + std::to_string(i % 5) + "/file" +
                         std::to_string(i) + (large ? ".pak" : ".dat"),
                     size, i % 2 == 0});
    sum += size;
  }
  fs::path previous;
  for (int v = 1; v <= versions; ++v) {
    const fs::path root = releases / std::to_string(v);
    std::vector<FileSpec> next;
    for (const FileSpec& f : files) {
      if (v > 1 && rng.Next() % 200 == 0) continue;  // deleted
      next.push_back(f);
    }
    for (int k = 0; v > 1 && k < 5; ++k) {
      next.push_back({"added/v" + std::to_string(v) + "_" + std::to_string(k) + ".dat",
                      4096 + rng.Next() % (64u << 10), true});
    }
    for (const FileSpec& f : next) {
      const fs::path target = root / f.path;
      fs::create_directories(target.parent_path());
      const bool changed = v == 1 || rng.Next() % 20 == 0 || !fs::exists(previous / f.path);
      if (changed) {
        WriteContent(target, f.size, f.text, rng);
      } else if (copy) {
        fs::copy_file(previous / f.path, target);
      } else {
        fs::create_hard_link(previous / f.path, target);
      }
    }
    files = next;
    previous = root;
    std::fprintf(stderr, "generated version %d (%zu files)\n", v, files.size());
  }
}

struct Run {
  double seconds = 0;
  long maxRssKiB = 0;
  int status = -1;
};

Run RunCommand(const std::vector<std::string>& args) {
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  Run run;
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.maxRssKiB = usage.ru_maxrss;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  bool copy = false;
  std::vector<std::string> numbers;
  for (const std::string& a : args) {
    if (a == "--copy") {
      copy = true;
    } else {
      numbers.push_back(a);
    }
  }
  const std::uint64_t mib = numbers.size() > 0 ? std::stoull(numbers[0]) : 1024;
  const int versions = numbers.size() > 1 ? std::stoi(numbers[1]) : 5;
  const char* bin = std::getenv("LAUNCHER_PUBLISH_BIN");
  const std::string tool = bin != nullptr ? bin : LAUNCHER_PUBLISH_DEFAULT_BIN;
  const char* scratchEnv = std::getenv("BENCH_DIR");
  const fs::path scratch = fs::path(scratchEnv != nullptr ? scratchEnv : "/tmp") /
                           ("publish-bench-" + std::to_string(getpid()));
  fs::create_directories(scratch);
  MakeHistory(scratch / "releases", mib, versions, copy);
  sync();

  const Run publish =
      RunCommand({tool, "build", "--releases", (scratch / "releases").string(), "--key",
                  LAUNCHER_TEST_KEY, "--pid", "1", "--out", (scratch / "srv").string()});
  // Again into the same place: the served compressed files are checked and
  // linked instead of compressed.
  const Run rebuild =
      RunCommand({tool, "build", "--releases", (scratch / "releases").string(), "--key",
                  LAUNCHER_TEST_KEY, "--pid", "1", "--out", (scratch / "srv").string()});
  const std::string newest = (scratch / "releases" / std::to_string(versions)).string();
  const Run zstd = RunCommand(
      {"zstd", "-q", "-3", "-T1", "-r", "--output-dir-mirror", (scratch / "zst").string(), newest});
  const Run md5 = RunCommand(
      {"sh", "-c",
       "find '" + (scratch / "zst").string() + "' -type f -exec md5sum {} + > /dev/null"});
  std::printf("history: %d versions of %llu MiB (%s)\n", versions,
              static_cast<unsigned long long>(mib), copy ? "copied" : "hard-linked");
  std::printf("launcher-publish build: %.2f s, peak %ld MiB, status %d\n", publish.seconds,
              publish.maxRssKiB / 1024, publish.status);
  std::printf("rebuild over that tree:  %.2f s, peak %ld MiB, status %d\n", rebuild.seconds,
              rebuild.maxRssKiB / 1024, rebuild.status);
  std::printf("zstd -3 -T1 + md5sum:   %.2f s, peak %ld MiB\n", zstd.seconds + md5.seconds,
              std::max(zstd.maxRssKiB, md5.maxRssKiB) / 1024);
  std::printf("ratio (publish / standard tools): %.2f\n",
              publish.seconds / (zstd.seconds + md5.seconds));
  if (std::getenv("BENCH_KEEP") == nullptr) {
    std::error_code ec;
    fs::remove_all(scratch, ec);
  } else {
    std::printf("kept %s\n", scratch.c_str());
  }
  return publish.status == 0 && rebuild.status == 0 ? 0 : 1;
}
