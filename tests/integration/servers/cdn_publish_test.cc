// Publishing a release while launchers update through a cache in front of
// the origin (nginx's proxy_cache standing for a CDN), with the cache rules
// and the upload order docs/publishing.md gives operators: compressed files
// long-lived (and the changed ones purged), version and lists revalidated;
// the origin updated file by file as an object store is, in the order files,
// version taken to 0, lists, new version.
//
// Three launchers run while the upload happens: one a release behind, whose
// version request is answered just before the new lists land (so its list
// would belong to another release than its version); one a first
// installation; one two releases behind, fetching files as they change under
// it. After every run each installation must be exactly the release its
// version.sw names, and every launcher must reach the new release within two
// runs.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "integration/servers/launcher_run.h"
#include "support/child_server.h"
#include "support/fault_server.h"
#include "support/nginx_server.h"
#include "support/publish_fixture.h"
#include "support/release_server.h"
#include "support/tcp_relay.h"
#include "support/temp_dir.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

Release Version(int v) {
  Release r;
  for (int i = 0; i < 30; ++i) {
    const std::string name = "data/d" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".bin";
    // Every version changes a third of the files; version 2 also a large one.
    const int changedIn = i % 3 == 0 ? v : (i % 3 == 1 ? std::min(v, 2) : 1);
    r[name] = NoiseBytes(6000 + static_cast<std::size_t>(i) * 100,
                         static_cast<unsigned>(1000 * changedIn + i));
  }
  r["data/large.bin"] = NoiseBytes(2 << 20, v >= 2 ? 2u : 1u);
  r["game.cfg"] = "version " + std::to_string(v);
  return r;
}

// The release an installation holds, by its version.sw; empty when it holds
// none exactly.
std::string Holds(const LauncherRun& launcher) {
  const std::string version = launcher.InstalledVersion();
  for (int v = 1; v <= 3; ++v) {
    if (version == std::to_string(v) + "\r\n") {
      return Differences(launcher.Installed(), Version(v)).empty() ? std::to_string(v) : "mixed";
    }
  }
  return version.empty() ? "nothing" : "bad version.sw";
}

// Replaces `to` with `from` in one rename, as an object store replaces an
// object.
void Upload(const fs::path& from, const fs::path& to) {
  fs::create_directories(to.parent_path());
  const fs::path part = to.string() + ".part";
  fs::copy_file(from, part, fs::copy_options::overwrite_existing);
  fs::rename(part, to);
}

class CdnPublishTest : public ::testing::Test {
 protected:
  CdnPublishTest() {
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "no_proxy"}) unsetenv(name);
    setenv("LAUNCHER_HEADLESS_SIMULATED_TIME", "1", 1);
    for (int v = 1; v <= 3; ++v) {
      const Release files = Version(v);
      WriteRelease(dir_ / "releases", v, ReleaseFiles(files.begin(), files.end()));
      BuildTestServerTree(dir_ / "releases", dir_ / ("tree" + std::to_string(v)));
    }
    fs::copy(dir_ / "tree2", origin_, fs::copy_options::recursive);
  }
  ~CdnPublishTest() override { unsetenv("LAUNCHER_HEADLESS_SIMULATED_TIME"); }

  // Release 3 into the origin, step by step.
  void PublishThree(const NginxServer& cache) {
    const fs::path from = dir_ / "tree3";
    // 1. The compressed files, then the purge of those whose content changed.
    std::vector<std::string> changed;
    for (const auto& entry : fs::recursive_directory_iterator(from / "patcher" / "patcher")) {
      if (!entry.is_regular_file()) continue;
      const fs::path rel = fs::relative(entry.path(), from);
      std::error_code ec;
      const bool existed = fs::exists(origin_ / rel, ec);
      if (existed && ReadFileBytes(origin_ / rel) == ReadFileBytes(entry.path())) continue;
      Upload(entry.path(), origin_ / rel);
      if (existed) changed.push_back("/" + rel.generic_string());
    }
    for (const std::string& path : changed) {
      for (const std::string prefix : {"", "/s"}) {
        RawHttpExchange(cache.port(),
                        "GET " + prefix + path + " HTTP/1.0\r\nHost: cdn\r\nX-Refresh: 1\r\n\r\n");
      }
    }
    // 2. The version names no release while the lists change.
    WriteFileBytes(origin_ / "patcher" / "version.part", "0\n");
    fs::rename(origin_ / "patcher" / "version.part", origin_ / "patcher" / "version");
    // 3. The lists.
    for (const auto& entry : fs::directory_iterator(from / "patcher")) {
      if (entry.is_regular_file() && entry.path().filename() != "version")
        Upload(entry.path(), origin_ / "patcher" / entry.path().filename());
    }
    // 4. The version last.
    Upload(from / "patcher" / "version", origin_ / "patcher" / "version");
  }

  TempDir dir_;
  fs::path origin_ = dir_ / "origin";
};

TEST_F(CdnPublishTest, LaunchersUpdatingDuringAnUploadNeverMixReleasesAndReachItInTwoRuns) {
  NginxServer::Options originRules;
  originRules.extraServerConfig =
      "location /patcher/patcher/ { add_header Cache-Control \"public, max-age=31536000\"; }\n"
      "location / { add_header Cache-Control \"no-cache\"; }";
  NginxServer origin(origin_, originRules);
  TempDir cacheDir;
  NginxServer::Options cacheRules;
  cacheRules.extraHttpConfig = "proxy_cache_path " + cacheDir.path().string() +
                               " levels=1:2 keys_zone=cdn:4m max_size=512m;";
  // The straddling launcher comes in under "/s/", so that its requests can
  // be told from the others'.
  const std::string toOrigin = "http://127.0.0.1:" + std::to_string(origin.port()) + "/";
  const std::string caching =
      "proxy_cache cdn; proxy_cache_bypass $http_x_refresh;"
      " proxy_http_version 1.1; proxy_set_header Connection \"\";";
  cacheRules.extraServerConfig = "location / { proxy_pass " + toOrigin + "; " + caching +
                                 " }\nlocation /s/ { proxy_pass " + toOrigin + "; " + caching +
                                 " }";
  NginxServer cache(cacheDir.path(), cacheRules);

  // Each launcher reaches the cache through its own link.
  TcpRelay::Options slow;
  slow.delayMs = 150;
  TcpRelay straddleLink(cache.port(), slow);
  TcpRelay::Options narrow;
  narrow.delayMs = 20;
  narrow.rate = 2 << 20;
  TcpRelay firstLink(cache.port(), narrow);
  TcpRelay behindLink(cache.port(), narrow);

  // Release 2 is served. Two launchers hold release 1, installed as it was;
  // a list for one version back would miss release 2's changes for them.
  LauncherRun straddling;
  LauncherRun first;
  LauncherRun behind;
  {
    NginxServer old(dir_ / "tree1");
    for (LauncherRun* launcher : {&straddling, &behind}) {
      launcher->UseServer(old.BaseUrl());
      ASSERT_EQ(launcher->Run(true), 0);
      ASSERT_EQ(Holds(*launcher), "1");
    }
  }
  straddling.UseServer(straddleLink.BaseUrl() + "s/");
  first.UseServer(firstLink.BaseUrl());
  behind.UseServer(behindLink.BaseUrl());

  // All three start; once the straddling one has asked for the version, the
  // upload runs (its list request is still on the way).
  const std::size_t logged = cache.AccessLogLines().size();
  const pid_t a = straddling.Start(false);
  const pid_t b = first.Start(true);
  const pid_t c = behind.Start(false);
  bool seen = false;
  for (const auto deadline = Clock::now() + std::chrono::seconds(20);
       !seen && Clock::now() < deadline;) {
    const auto lines = cache.AccessLogLines();
    for (std::size_t i = logged; i < lines.size() && !seen; ++i)
      seen = lines[i].rfind("GET /s/patcher/version ", 0) == 0;
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(seen);
  PublishThree(cache);
  EXPECT_EQ(straddling.Wait(a), 0);
  EXPECT_EQ(first.Wait(b), 0);
  EXPECT_EQ(behind.Wait(c), 0);

  // Whatever each run did, it left one release whole.
  for (LauncherRun* launcher : {&straddling, &first, &behind}) {
    const std::string held = Holds(*launcher);
    EXPECT_TRUE(held == "1" || held == "2" || held == "3") << held;
  }
  // The straddling one noticed that its list belonged to another release
  // (slot 69, logged with the release now named).
  bool noticed = false;
  for (const auto& line : straddling.LogLines()) noticed = noticed || line.rfind("S69", 0) == 0;
  EXPECT_TRUE(noticed) << "the upload did not land between its version and its list";

  // The second run of each reaches release 3.
  for (LauncherRun* launcher : {&straddling, &first, &behind}) {
    EXPECT_EQ(launcher->Run(false), 0);
    EXPECT_EQ(Holds(*launcher), "3") << launcher->Output();
  }
}

}  // namespace
}  // namespace launcher::testing
