// Crash safety of the incremental update: the real engine runs in a child
// process that is killed with SIGKILL at random moments and restarted. Some
// files come as patches of their old content, some whole. Every
// file ever seen in ../patcher/ holds its old or its new content, nothing
// appears outside the installation's directories, and the update finishes
// with the release byte for byte. Whatever the record of verified files holds
// after a kill, every answer it gives is the digest the file really has.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "files/utf16.h"
#include "pack/pack.h"
#include "platform/file_stamp.h"
#include "support/nginx_server.h"
#include "support/publish_fixture.h"
#include "support/release_server.h"
#include "support/temp_dir.h"
#include "update/verified_files.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;

pid_t StartHarness(const fs::path& launcherDir, const std::string& baseUrl) {
  pid_t pid = fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    execl(KILL_HARNESS, KILL_HARNESS, launcherDir.c_str(), baseUrl.c_str(), "100", "101",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// Waits up to `ms` for the child; true when it has exited (status stored).
bool WaitFor(pid_t pid, int ms, int& status) {
  for (int waited = 0; waited < ms; waited += 2) {
    if (waitpid(pid, &status, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

Release OldRelease() {
  Release r;
  for (int i = 0; i < 24; ++i) {
    r["data/f" + std::to_string(i) + ".bin"] =
        NoiseBytes(40000 + 9000 * static_cast<std::size_t>(i), static_cast<unsigned>(i));
  }
  r["gone/deep/old.txt"] = "removed in 101";
  r["same.txt"] = "kept as it is";
  return r;
}

Release NewRelease() {
  Release r = OldRelease();
  for (int i = 0; i < 24; i += 2) {
    r["data/f" + std::to_string(i) + ".bin"] =
        NoiseBytes(60000 + 7000 * static_cast<std::size_t>(i), 500u + static_cast<unsigned>(i));
  }
  // Rebuilt rather than replaced: these arrive as patches of the old
  // content, so kills land in patch transfers and applications too.
  for (int i = 1; i < 24; i += 4) {
    std::string& content = r["data/f" + std::to_string(i) + ".bin"];
    content.insert(content.size() / 2, NoiseBytes(20000, 700u + static_cast<unsigned>(i)));
  }
  r.erase("gone/deep/old.txt");
  r["added/a.bin"] = NoiseBytes(120000, 900);
  r["added/sub/b.bin"] = NoiseBytes(90000, 901);
  return r;
}

TEST(UpdateKillTest, SurvivesRepeatedSigkillAndEndsWithTheRelease) {
  TempDir dir;
  const fs::path launcherDir = MakeInstallLayout(dir.path());
  const Release oldRelease = OldRelease();
  const Release newRelease = NewRelease();
  WriteTree(dir.path() / "patcher", oldRelease);
  WriteRelease(dir.path() / "releases", 100, oldRelease);
  WriteRelease(dir.path() / "releases", 101, newRelease);
  BuildTestServerTree(dir.path() / "releases", dir.path() / "served");
  WriteFileBytes(dir.path() / "config" / "patcher" / "version.sw", "100\r\n");

  // A slow link stretches the run so that kills land in every phase.
  NginxServer::Options options;
  options.extraServerConfig = "limit_rate 64k;";
  NginxServer nginx(dir.path() / "served", options);

  int recordAnswers = 0;
  const std::set<std::string> topLevel = {"launcher", "patcher", "config", "releases", "served"};
  auto checkTree = [&](int round) {
    const Release tree = ReadTree(dir.path() / "patcher");
    // A file that both versions have must never be missing, not even between
    // the removal of the old content and the arrival of the new.
    for (const auto& [path, content] : oldRelease) {
      ASSERT_TRUE(!newRelease.count(path) || tree.count(path))
          << "round " << round << ": " << path << " is missing";
    }
    for (const auto& [path, content] : tree) {
      auto o = oldRelease.find(path);
      auto n = newRelease.find(path);
      bool known = (o != oldRelease.end() && o->second == content) ||
                   (n != newRelease.end() && n->second == content);
      ASSERT_TRUE(known) << "round " << round << ": " << path << " is neither old nor new";
    }
    for (const auto& e : fs::directory_iterator(dir.path())) {
      ASSERT_TRUE(topLevel.count(e.path().filename().string()))
          << "round " << round << ": stray " << e.path();
    }
    for (const auto& e : fs::directory_iterator(dir.path() / "config")) {
      ASSERT_EQ(e.path().filename(), "patcher") << "round " << round;
    }
    VerifiedFiles record;
    record.Load((dir.path() / "config" / "patcher" / "verified.sw").u16string());
    for (const auto& [path, content] : tree) {
      const fs::path file = dir.path() / "patcher" / path;
      FileStamp stamp;
      const std::string* answer = nullptr;
      if (ReadFileStamp(file, stamp)) answer = record.Find(u"./" + Widen(path), stamp);
      if (answer == nullptr) continue;
      ++recordAnswers;
      char digest[33] = {};
      ASSERT_TRUE(DigestCompressedForm(file.u16string(), digest));
      ASSERT_EQ(*answer, digest) << "round " << round << ": the record is wrong about " << path;
    }
  };

  std::mt19937 rng(20261209);
  std::uniform_int_distribution<int> delay(5, 250);
  int kills = 0;
  for (int round = 0; round < 60 && kills < 30; ++round) {
    pid_t pid = StartHarness(launcherDir, nginx.BaseUrl());
    ASSERT_GT(pid, 0);
    int status = 0;
    const int wait = delay(rng);
    if (!WaitFor(pid, wait, status)) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ++kills;
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      checkTree(round);
      break;  // finished between kills
    }
    checkTree(round);
    if (HasFatalFailure()) return;
  }
  EXPECT_GE(kills, 10) << "the run was too quick to be interrupted often";

  // Let it finish.
  int status = 0;
  for (int tries = 0; tries < 3; ++tries) {
    pid_t pid = StartHarness(launcherDir, nginx.BaseUrl());
    ASSERT_TRUE(WaitFor(pid, 120000, status));
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) break;
  }
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  checkTree(-1);
  EXPECT_EQ(ReadTree(dir.path() / "patcher"), newRelease);
  // A kill right after "version.sw" was written may leave "inc.sw" and
  // "ustate.sw" behind; the next update replaces them, as they name an older
  // state than the server's next version.
  EXPECT_EQ(ReadFileBytes(dir.path() / "config" / "patcher" / "version.sw"), "101\r\n");
  EXPECT_GT(recordAnswers, 0) << "the record was never looked at";
  std::size_t patchRequests = 0;
  for (const std::string& line : SettledAccessLog(nginx)) {
    if (line.rfind("GET /patcher/delta/", 0) == 0) ++patchRequests;
  }
  EXPECT_GT(patchRequests, 0u) << "no patch was ever fetched";
}

}  // namespace
}  // namespace launcher::testing
