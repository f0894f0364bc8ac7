// A first installation of many small files over a long link: the launcher's
// full check from an empty installation against `curl` fetching the same
// URLs (product id, version, list, every compressed file) one at a time in
// one process, on one connection. Both go through a relay that charges one
// round trip per new connection and one per request
// (tests/support/tcp_relay.py), in front of a local nginx; the relay also
// counts the connections each side opened.
//
//   connection_bench [--files N (200)] [--kib K (8)] [--rtt-ms D (40)] [--runs R (3)]
//                    [--tls] [--down] [--connect-timeout-ms T (2000)] [--launcher-only]
//
// --tls: nginx speaks TLS and offers HTTP/2 (the launcher multiplexes the
// files on one connection; curl, one at a time, takes HTTP/2 too).
// --launcher-only: no other side (for the growth with the number of files,
// where curl one at a time would take minutes).
// --down: the server list names a first server that takes no connection
// (its connect waits for the time-out, T) and the working one as its
// mirror; the other side is then the launcher with the working server
// alone, and the difference is the time the dead server cost. Beside it,
// `curl --connect-timeout T` against the same dead server: one time-out as
// a standard tool takes it.
//
// The launcher side runs in a child process
//   connection_bench --install <launcher dir> <base url>
// with the engine's fixed pauses for the reader (300 ms after an outcome)
// left out by a clock that does not sleep: they are no network time. The
// child takes BENCH_CA_FILE, BENCH_CONNECT_TIMEOUT_MS and BENCH_DOWN_URL
// from the environment. BENCH_NGINX_EXTRA adds directives to nginx's server
// block (say "keepalive_requests 10000;"). Prints one line per run and the
// medians.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "crypto/signer.h"
#include "files/paths.h"
#include "files/server_select.h"
#include "files/utf16.h"
#include "net/downloader.h"
#include "pack/pack.h"
#include "support/child_server.h"
#include "support/fake_clock.h"
#include "support/nginx_server.h"
#include "support/tcp_relay.h"
#include "support/temp_dir.h"
#include "support/test_certificate.h"
#include "update/full_check.h"
#include "update/list_path.h"
#include "update/update_state.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using launcher::testing::ReadFileBytes;
using launcher::testing::WriteFileBytes;

int InstallMain(const char* launcherDir, const char* baseUrl) {
  fs::current_path(launcherDir);
  launcher::testing::FakeClock clock;
  launcher::testing::ScopedEngineClock scoped(&clock);
  launcher::Downloader::Options options;
  if (const char* ca = std::getenv("BENCH_CA_FILE")) options.caFile = ca;
  if (const char* ms = std::getenv("BENCH_CONNECT_TIMEOUT_MS"))
    options.connectTimeoutMs = std::atol(ms);
  launcher::Downloader::SetDefaultOptionsForTesting(options);
  if (const char* down = std::getenv("BENCH_DOWN_URL")) {
    // The selected server is the dead one; the working one is its mirror.
    launcher::testing::WriteUtf16Lines("../config/patcher/update.cfg", {"UpdateServerSelect down"});
    launcher::testing::WriteUtf16Lines("../patcher/server/updateserver.txt",
                                       {"\"down\" \"" + std::string(down) + "\" \"g\"",
                                        "\"up\" \"" + std::string(baseUrl) + "\" \"g\""});
    launcher::SelectUpdateServer();
  } else {
    launcher::SetServerBaseUrl(launcher::Widen(baseUrl));
  }
  launcher::RunFullCheck(0);
  if (launcher::SharedDownloader != nullptr) {
    const launcher::Downloader::Counts counts = launcher::SharedDownloader->counts();
    std::fprintf(
        stderr,
        "downloader: %d transfers, %d over HTTP/2, %d at once at most, HTTP/1.1 budget %d\n",
        counts.started, counts.http2, counts.mostAtOnce, counts.http1Limit);
  }
  std::ifstream version("../config/patcher/version.sw");
  int v = 0;
  version >> v;
  return v == 1 ? 0 : 3;
}

// Runs `args` to its end; wall seconds, or -1 when it could not start or
// (with `mustSucceed`) failed.
double Timed(std::vector<std::string> args, bool mustSucceed = true) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto start = Clock::now();
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return !mustSucceed || (WIFEXITED(status) && WEXITSTATUS(status) == 0) ? seconds : -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--install") == 0) return InstallMain(argv[2], argv[3]);
  std::size_t files = 200, kib = 8;
  int rttMs = 40, runs = 3, connectTimeoutMs = 2000;
  bool tls = false, down = false, launcherOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--tls") tls = true;
    if (opt == "--down") down = true;
    if (opt == "--launcher-only") launcherOnly = true;
    if (i + 1 >= argc) continue;
    if (opt == "--files") files = std::stoul(argv[i + 1]);
    if (opt == "--kib") kib = std::stoul(argv[i + 1]);
    if (opt == "--rtt-ms") rttMs = std::stoi(argv[i + 1]);
    if (opt == "--runs") runs = std::max(1, std::stoi(argv[i + 1]));
    if (opt == "--connect-timeout-ms") connectTimeoutMs = std::stoi(argv[i + 1]);
  }
  for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) unsetenv(name);

  launcher::testing::TempDir dir;
  const fs::path served = dir / "served";
  WriteFileBytes(served / "info" / "pid", "1\n");
  WriteFileBytes(served / "patcher" / "version", "1\n");
  std::mt19937 rng(7);
  std::string list;
  std::vector<std::string> targets = {"info/pid", "patcher/version", "patcher/files.md5"};
  for (std::size_t i = 0; i < files; ++i) {
    const std::string rel = "data" + std::to_string(i % 4) + "/f" + std::to_string(i) + ".bin";
    std::string content(kib << 10, '\0');
    for (char& c : content) c = static_cast<char>(rng() & 0xFF);
    const fs::path plain = dir / "plain.bin";
    WriteFileBytes(plain, content);
    const std::string encoded = launcher::EncodeListPath(rel);  // "./..."
    const fs::path target = served / "patcher" / "patcher" / encoded.substr(2);
    fs::create_directories(target.parent_path());
    char digest[64] = {};
    if (!launcher::CompressFileTo(launcher::FromUtf8Lossy(plain.string()),
                                  launcher::FromUtf8Lossy(target.string()), digest)) {
      return 1;
    }
    list += std::string(digest) + " " + encoded.substr(1) + "\n";
    targets.push_back("patcher/patcher/" + encoded);
  }
  const std::string key =
      ReadFileBytes(fs::path(LAUNCHER_SOURCE_DIR) / "resources/keys/test-private.pem");
  auto signedList = launcher::MakeSignedFile(key, list);
  if (!signedList) return 1;
  WriteFileBytes(served / "patcher" / "files.md5", *signedList);

  std::unique_ptr<launcher::testing::TestCertificate> certificate;
  launcher::testing::NginxServer::Options serverOptions;
  if (tls) {
    certificate = std::make_unique<launcher::testing::TestCertificate>();
    serverOptions.tlsCertificate = certificate->cert();
    serverOptions.tlsKey = certificate->key();
    serverOptions.http2 = true;
    setenv("BENCH_CA_FILE", certificate->cert().c_str(), 1);
  }
  setenv("BENCH_CONNECT_TIMEOUT_MS", std::to_string(connectTimeoutMs).c_str(), 1);
  serverOptions.extraServerConfig =
      std::getenv("BENCH_NGINX_EXTRA") ? std::getenv("BENCH_NGINX_EXTRA") : "";
  launcher::testing::NginxServer nginx(served, serverOptions);
  launcher::testing::TcpRelay::Options far;
  far.delayMs = rttMs;
  launcher::testing::TcpRelay relay(nginx.port(), far);
  const std::string base =
      std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(relay.port()) + "/";
  launcher::testing::SilentPort silent;
  const std::string downUrl = "http://127.0.0.1:" + std::to_string(silent.port()) + "/";
  const std::string self = fs::canonical("/proc/self/exe").string();

  std::vector<double> ours, theirs;
  std::int64_t ourConnections = 0, curlConnections = 0;
  for (int run = 0; run < runs; ++run) {
    for (int side = 0; side < 2; ++side) {
      const bool launcherSide = (side + run) % 2 == 0;
      if (launcherOnly && !launcherSide) continue;
      const std::int64_t before = relay.WaitIdle().connections;
      double seconds = -1;
      if (launcherSide || down) {
        const fs::path install = dir / ("install" + std::to_string(run));
        const fs::path launcherDir = launcher::testing::MakeInstallLayout(install);
        WriteFileBytes(install / "patcher" / "server" / "pid.ini", "[Version]\npid=1\n");
        // With --down, the launcher side has the dead server first; the
        // other side is the launcher without it.
        if (down && launcherSide) setenv("BENCH_DOWN_URL", downUrl.c_str(), 1);
        seconds = Timed({self, "--install", launcherDir.string(), base});
        unsetenv("BENCH_DOWN_URL");
        fs::remove_all(install);
      } else {
        const fs::path out = dir / "curl";
        fs::create_directories(out);
        std::vector<std::string> args = {"curl", "-s", "-f", "--path-as-is"};
        if (tls) {
          args.push_back("--cacert");
          args.push_back(certificate->cert());
        }
        for (std::size_t i = 0; i < targets.size(); ++i) {
          args.push_back("-o");
          args.push_back((out / std::to_string(i)).string());
          args.push_back(base + targets[i]);
        }
        seconds = Timed(args);
        fs::remove_all(out);
      }
      const std::int64_t opened = relay.WaitIdle().connections - before;
      if (seconds < 0) {
        std::fprintf(stderr, "run %d: the %s side failed\n", run,
                     launcherSide ? "launcher" : "curl");
        return 1;
      }
      (launcherSide ? ours : theirs).push_back(seconds);
      (launcherSide ? ourConnections : curlConnections) = opened;
      const char* label =
          launcherSide ? (down ? "launcher, first server down" : "launcher first installation")
                       : (down ? "launcher, one server" : "curl, one process");
      std::printf("run %d: %s %.2f s, %lld connections\n", run, label, seconds,
                  static_cast<long long>(opened));
      std::fflush(stdout);
    }
  }
  std::printf("first installation of %zu files of %zu KiB, %d ms round trip, %s, %d runs\n", files,
              kib, rttMs, tls ? "https" : "http", runs);
  std::printf("launcher: median %.2f s, %lld connections\n", Median(ours),
              static_cast<long long>(ourConnections));
  if (launcherOnly) {
    std::printf("launcher: %.2f ms per file\n", Median(ours) * 1000.0 / static_cast<double>(files));
    return 0;
  }
  std::printf("%s: median %.2f s, %lld connections\n", down ? "launcher, one server" : "curl",
              Median(theirs), static_cast<long long>(curlConnections));
  if (down) {
    std::vector<double> curlTimeouts;
    char limit[32];
    std::snprintf(limit, sizeof limit, "%.3f", connectTimeoutMs / 1000.0);
    for (int run = 0; run < runs; ++run) {
      curlTimeouts.push_back(
          Timed({"curl", "-s", "-o", "/dev/null", "--connect-timeout", limit, downUrl}, false));
      std::printf("run %d: curl connect time-out %.2f s\n", run, curlTimeouts.back());
    }
    const double lost = Median(ours) - Median(theirs);
    std::printf("lost to the dead server: %.2f s, connect time-out %.2f s\n", lost,
                connectTimeoutMs / 1000.0);
    std::printf(
        "curl --connect-timeout %s to the same server: median %.2f s; ratio lost/curl %.2f\n",
        limit, Median(curlTimeouts), lost / Median(curlTimeouts));
  } else {
    std::printf("ratio launcher/curl: %.2f\n", Median(ours) / Median(theirs));
  }
  return 0;
}
