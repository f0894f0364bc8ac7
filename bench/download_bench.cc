// Download throughput from a local nginx: the launcher's downloader (with a
// progress callback, as the update engine uses it) against `curl -o` (both
// HTTP/1.1 over one kept connection), in the same run, alternating, on the
// same files. Prints the median, minimum and
// maximum of each and the ratio of the medians.
//
// usage: download_bench [total MiB, default 1024] [files, default 4] [runs, default 5]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "files/utf16.h"
#include "net/downloader.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"

namespace {

using launcher::testing::NginxServer;
using launcher::testing::TempDir;
using Clock = std::chrono::steady_clock;

void MakeFile(const std::filesystem::path& path, std::uint64_t bytes) {
  std::string block(1 << 20, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 131 + 7) % 251);
  std::ofstream out(path, std::ios::binary);
  for (std::uint64_t left = bytes; left > 0;) {
    const auto n = std::min<std::uint64_t>(left, block.size());
    out.write(block.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

int RunCurl(const std::vector<std::string>& urls, const std::vector<std::string>& outs) {
  std::vector<std::string> args = {"curl", "-s", "-f", "--path-as-is"};
  for (size_t i = 0; i < urls.size(); ++i) {
    args.push_back("-o");
    args.push_back(outs[i]);
    args.push_back(urls[i]);
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    execvp("curl", argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t totalMiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const int files = argc > 2 ? std::atoi(argv[2]) : 4;
  const int runs = argc > 3 ? std::atoi(argv[3]) : 5;
  const std::uint64_t perFile = (totalMiB << 20) / static_cast<std::uint64_t>(files);
  for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) unsetenv(name);

  TempDir root;
  TempDir out;
  std::vector<std::string> urls, ours, theirs;
  NginxServer nginx(root.path());
  for (int i = 0; i < files; ++i) {
    const std::string name = "file" + std::to_string(i) + ".bin";
    MakeFile(root / name, perFile);
    urls.push_back(nginx.BaseUrl() + "./" + name);
    ours.push_back((out / ("ours-" + name)).string());
    theirs.push_back((out / ("curl-" + name)).string());
  }
  const double totalBytes = static_cast<double>(perFile) * files;

  launcher::Downloader downloader;
  std::vector<double> ourRates, curlRates;
  for (int run = 0; run < runs; ++run) {
    std::int64_t events = 0;
    bool ok = true;
    auto callback = [&](int event, const launcher::Transfer& t) {
      if (event == launcher::DOWNLOAD_PROGRESS) ++events;
      if (event == launcher::DOWNLOAD_DONE && t.state != launcher::TRANSFER_DONE) ok = false;
      if (event == launcher::DOWNLOAD_FAILED) ok = false;
      return 0;
    };
    double ourSeconds = 0;
    double curlSeconds = 0;
    int curlStatus = 0;
    auto runOurs = [&] {
      const auto start = Clock::now();
      for (size_t i = 0; i < urls.size(); ++i) {
        downloader.Download(launcher::Widen(urls[i]), launcher::FromUtf8Lossy(ours[i]), callback,
                            0);
      }
      ourSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    };
    auto runCurl = [&] {
      const auto start = Clock::now();
      curlStatus = RunCurl(urls, theirs);
      curlSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    };
    // Alternate who goes first: the page cache's write-back of one side's
    // gigabyte would otherwise always slow down the other.
    if (run % 2 == 0) {
      runOurs();
      runCurl();
    } else {
      runCurl();
      runOurs();
    }
    if (!ok || curlStatus != 0) {
      std::fprintf(stderr, "run %d failed (ours ok=%d, curl exit %d)\n", run, ok, curlStatus);
      return 1;
    }
    for (int i = 0; i < files; ++i) {
      const auto idx = static_cast<size_t>(i);
      if (std::filesystem::file_size(ours[idx]) != perFile ||
          std::filesystem::file_size(theirs[idx]) != perFile) {
        std::fprintf(stderr, "run %d: wrong file size\n", run);
        return 1;
      }
      std::filesystem::remove(ours[idx]);
      std::filesystem::remove(theirs[idx]);
    }
    ourRates.push_back(totalBytes / ourSeconds / (1 << 20));
    curlRates.push_back(totalBytes / curlSeconds / (1 << 20));
    std::printf("run %d: ours %.0f MiB/s (%lld progress events), curl %.0f MiB/s\n", run,
                ourRates.back(), static_cast<long long>(events), curlRates.back());
  }
  const double ourMedian = Median(ourRates);
  const double curlMedian = Median(curlRates);
  std::printf("download of %llu MiB in %d files, %d runs\n",
              static_cast<unsigned long long>(totalMiB), files, runs);
  std::printf("ours: median %.0f MiB/s (min %.0f, max %.0f)\n", ourMedian,
              *std::min_element(ourRates.begin(), ourRates.end()),
              *std::max_element(ourRates.begin(), ourRates.end()));
  std::printf("curl: median %.0f MiB/s (min %.0f, max %.0f)\n", curlMedian,
              *std::min_element(curlRates.begin(), curlRates.end()),
              *std::max_element(curlRates.begin(), curlRates.end()));
  std::printf("ratio ours/curl: %.2f\n", ourMedian / curlMedian);
  return 0;
}
