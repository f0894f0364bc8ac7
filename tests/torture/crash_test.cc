// Crash safety of the full check: launcher-headless runs the real worker
// with "FullCheck" in a child process that is killed with SIGKILL at random
// moments (seeded), either anywhere in the run or just after the install
// pass began, and started again. After every kill each installed file holds
// its old or its new content, no file of both releases is missing, nothing
// appears outside the installation's directories, and the last run ends
// with the release byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "torture/headless_run.h"
#include "torture/torture_bed.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::Release;
using testing::WriteFileBytes;
using testing::WriteUtf16Lines;

class CrashTest : public testing::TortureBed {
 protected:
  void SetUp() override {
    for (int i = 0; i < 160; ++i) {
      const std::string name = "d" + std::to_string(i % 5) + "/f" + std::to_string(i) + ".bin";
      old_[name] =
          testing::NoiseBytes(3000 + 97 * static_cast<std::size_t>(i), static_cast<unsigned>(i));
      new_[name] = i % 2 == 0 ? testing::NoiseBytes(2500 + 131 * static_cast<std::size_t>(i),
                                                    1000u + static_cast<unsigned>(i))
                              : old_[name];
    }
    old_["gone-later.txt"] = "only in the old release, never listed";
    new_["gone-later.txt"] = old_["gone-later.txt"];
    new_["fresh/added.bin"] = testing::NoiseBytes(200000, 77);
    Install(old_);
    PublishFull(new_);
    nginx_ = std::make_unique<testing::NginxServer>(tree_.root());

    WriteUtf16Lines(root() / "launcher" / "stringtab.txt",
                    {"20 INSTALLING", "30 CHECK DONE", "29 CHECK FAILED"});
    WriteUtf16Lines(env_.Config("update.cfg"), {"UpdateServerSelect local"});
    WriteUtf16Lines(env_.Patcher("server/updateserver.txt"),
                    {"\"local\" \"" + nginx_->BaseUrl() + "\""});
    fs::create_directories(root() / "locks");
    fs::permissions(root() / "locks", fs::perms::owner_all, fs::perm_options::replace);
    ::setenv("XDG_RUNTIME_DIR", (root() / "locks").c_str(), 1);
    rest_ = RestState();
  }

  void CheckTree(const std::string& when) {
    SCOPED_TRACE(when);
    const Release tree = Installed();
    for (const auto& [path, content] : new_) {
      ASSERT_TRUE(!old_.count(path) || tree.count(path)) << path << " is missing";
    }
    for (const auto& [path, content] : tree) {
      const bool known = (old_.count(path) && old_.at(path) == content) ||
                         (new_.count(path) && new_.at(path) == content);
      ASSERT_TRUE(known) << path << " is neither old nor new";
    }
    // The lock directory may hold the launcher's lock files.
    auto rest = RestState();
    for (auto it = rest.begin(); it != rest.end();) {
      it = it->first.rfind("locks/", 0) == 0 ? rest.erase(it) : std::next(it);
    }
    EXPECT_EQ(testing::DescribeTreeDifference(rest_, rest), "");
    for (const auto& [rel, value] : testing::SnapshotTree(root() / "config")) {
      EXPECT_TRUE(testing::IsKnownConfigPath(rel)) << "stray ../config/" << rel;
    }
  }

  Release old_;
  Release new_;
  testing::TreeState rest_;
};

TEST_F(CrashTest, KilledAnywhereOrDuringTheInstallPassTheNextRunFinishes) {
  std::mt19937 rng(testing::TortureSeed(20261209));
  const int rounds = 6 * testing::TortureRounds();
  int killedInInstall = 0;
  for (int round = 0; round < 2 * rounds; ++round) {
    const bool duringInstall = round % 2 == 1;
    testing::HeadlessRun run(root() / "launcher", {"FullCheck"});
    ASSERT_TRUE(run.started());
    if (duringInstall) {
      if (run.WaitForLine("status: INSTALLING", 60000)) {
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, 30000)(rng)));
        ++killedInInstall;
      }
      run.Kill();
    } else if (!run.WaitExit(std::uniform_int_distribution<int>(5, 600)(rng))) {
      run.Kill();
    }
    CheckTree("round " + std::to_string(round));
    if (HasFatalFailure()) return;
    if (Installed() == new_) {
      // Finished between kills: start from the old release again.
      Install(old_);
      WriteUtf16Lines(env_.Patcher("server/updateserver.txt"),
                      {"\"local\" \"" + nginx_->BaseUrl() + "\""});
      fs::remove_all(env_.Config("Check"));
    }
  }
  EXPECT_GE(killedInInstall, rounds / 2) << "the install pass was rarely reached";

  testing::HeadlessRun last(root() / "launcher", {"FullCheck"});
  ASSERT_TRUE(last.WaitExit(120000));
  EXPECT_TRUE(last.exited_cleanly());
  CheckTree("after the last run");
  EXPECT_EQ(Installed(), new_);
  EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "2\r\n");
  EXPECT_FALSE(fs::exists(env_.Config("Check")));
}

}  // namespace
}  // namespace launcher
