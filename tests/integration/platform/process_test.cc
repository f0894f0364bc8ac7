#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "integration/platform/patcher_record.h"
#include "integration/platform/scoped_env.h"
#include "platform/named_lock.h"
#include "support/temp_dir.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::PatcherRecord;
using testing::ScopedEnv;
using testing::TempDir;

pid_t ParentOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  char state = 0;
  pid_t parent = 0;
  rest >> state >> parent;
  return parent;
}

// An installation with the stand-in patcher as ../patcher/patcher.exe and a
// private lock directory.
class StartPatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(patcherDir_);
    fs::create_directories(runtimeDir_);
    fs::permissions(runtimeDir_, fs::perms::owner_all);
    fs::copy_file(FAKE_PATCHER_EXE, patcherExe_);
  }

  std::vector<PatcherRecord> Records(std::size_t count) {
    return testing::WaitForPatcherRecords(record_, count, 10s);
  }

  TempDir root_;
  const fs::path patcherDir_ = fs::canonical(root_.path()) / "patcher";
  const fs::path patcherExe_ = patcherDir_ / "patcher.exe";
  const fs::path runtimeDir_ = root_ / "run";
  const fs::path record_ = root_ / "record.txt";
  ScopedEnv xdg_{"XDG_RUNTIME_DIR", runtimeDir_.c_str()};
  ScopedEnv recordEnv_{"FAKE_PATCHER_RECORD", record_.c_str()};
  ScopedEnv fdsEnv_{"FAKE_PATCHER_RECORD_FDS", "1"};
  ScopedEnv seconds_{"FAKE_PATCHER_SECONDS", "30"};
  ScopedEnv display_{"DISPLAY", nullptr};
};

TEST_F(StartPatcherTest, RunsDetachedInItsDirectoryWithNothingOfOurs) {
  // A descriptor opened without close-on-exec, carrying a lock, and one of
  // our named locks: the patcher must end up with neither.
  const fs::path lockedFile = root_ / "locked";
  const int leaky = ::open(lockedFile.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(leaky, 0);
  ASSERT_EQ(::flock(leaky, LOCK_EX | LOCK_NB), 0);
  auto launcherLock = NamedLock::TryAcquire("QuillmereLauncherExist");
  ASSERT_NE(launcherLock, nullptr);

  ASSERT_TRUE(StartDetachedProcess(patcherExe_, {"/update"}, patcherDir_));
  const auto records = Records(1);
  ASSERT_EQ(records.size(), 1u);
  PatcherRecord rec = records[0];
  const pid_t pid = static_cast<pid_t>(std::stol(rec["pid"]));

  EXPECT_EQ(rec["cwd"], patcherDir_.string());
  EXPECT_EQ(rec["argc"], "1");
  EXPECT_EQ(rec["arg1"], "/update");
  EXPECT_EQ(rec["fds"], "0>/dev/null;1>/dev/null;2>/dev/null");
  EXPECT_EQ(rec["lock"], "held");
  EXPECT_EQ(rec["window"], "no");

  // Still running after we returned (it lives 30 s), in a session of its
  // own, and not a child of ours that someone would have to reap.
  EXPECT_TRUE(NamedLock::IsHeld("QuillmerePatcherExist"));
  EXPECT_EQ(::kill(pid, 0), 0);
  EXPECT_NE(::getsid(pid), ::getsid(0));
  EXPECT_NE(ParentOf(pid), ::getpid());
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);

  // Our locks go away with our descriptors, although the patcher still runs.
  ::close(leaky);
  launcherLock.reset();
  const int again = ::open(lockedFile.c_str(), O_RDWR | O_CLOEXEC);
  EXPECT_EQ(::flock(again, LOCK_EX | LOCK_NB), 0);
  ::close(again);
  EXPECT_NE(NamedLock::TryAcquire("QuillmereLauncherExist"), nullptr);

  EXPECT_TRUE(testing::StopPatcher(rec, 10s));
  EXPECT_FALSE(NamedLock::IsHeld("QuillmerePatcherExist"));
}

TEST_F(StartPatcherTest, PassesArgumentsUnchangedAndSeesASecondPatcherRefused) {
  const std::vector<std::string> args = {"/update", "two words", "", "tab\there", "ü"};
  ASSERT_TRUE(StartDetachedProcess(patcherExe_, args, patcherDir_));
  auto records = Records(1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["argc"], "5");
  for (std::size_t i = 0; i < args.size(); ++i) {
    EXPECT_EQ(records[0]["arg" + std::to_string(i + 1)], args[i]) << i;
  }

  // The stand-in behaves like a single patcher: a second one gives up.
  ASSERT_TRUE(StartDetachedProcess(patcherExe_, {"/update"}, patcherDir_));
  records = Records(2);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1]["lock"], "busy");
  EXPECT_TRUE(testing::StopPatcher(records[0], 10s));
}

TEST_F(StartPatcherTest, RelativePathsAreTakenFromTheCallersDirectory) {
  // As the launcher does it: from its own directory, "../patcher/..." with
  // a working directory that is not the program's own.
  fs::create_directories(root_ / "launcher");
  fs::create_directories(root_ / "work" / "sub");
  testing::ScopedCurrentDir cwd(root_ / "launcher");
  ASSERT_TRUE(StartDetachedProcess("../patcher/patcher.exe", {"/update"}, "../work/sub"));
  const auto records = Records(1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].at("cwd"), (fs::canonical(root_.path()) / "work" / "sub").string());
  EXPECT_TRUE(testing::StopPatcher(records[0], 10s));
}

TEST_F(StartPatcherTest, ReportsWhatCannotBeStarted) {
  EXPECT_FALSE(StartDetachedProcess(patcherDir_ / "missing.exe", {"/update"}, patcherDir_));
  EXPECT_FALSE(StartDetachedProcess(patcherExe_, {"/update"}, root_ / "no-such-dir"));
  const fs::path notProgram = patcherDir_ / "data.exe";
  testing::WriteFileBytes(notProgram, "MZ not for this system");
  fs::permissions(notProgram, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_FALSE(StartDetachedProcess(notProgram, {}, patcherDir_));

  // Nothing ran.
  EXPECT_FALSE(fs::exists(record_));
  EXPECT_FALSE(NamedLock::IsHeld("QuillmerePatcherExist"));
}

TEST_F(StartPatcherTest, StandInEndsByItselfAndRecordsInItsDirectoryByDefault) {
  ScopedEnv seconds("FAKE_PATCHER_SECONDS", "0.2");
  ScopedEnv noRecordPath("FAKE_PATCHER_RECORD", nullptr);
  ASSERT_TRUE(StartDetachedProcess(patcherExe_, {"/update"}, patcherDir_));
  const auto records = testing::WaitForPatcherRecords(patcherDir_ / "patcher-record.txt", 1, 10s);
  ASSERT_EQ(records.size(), 1u);
  const pid_t pid = static_cast<pid_t>(std::stol(records[0].at("pid")));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (::kill(pid, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_FALSE(NamedLock::IsHeld("QuillmerePatcherExist"));
}

TEST(ExecutablePathTest, NamesThisTestProgram) {
  const fs::path self = ExecutablePath();
  ASSERT_TRUE(self.is_absolute());
  EXPECT_EQ(self.filename(), "platform_process_test");
  EXPECT_TRUE(fs::is_regular_file(self));
}

}  // namespace
}  // namespace launcher
