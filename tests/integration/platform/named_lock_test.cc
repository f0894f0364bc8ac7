#include "platform/named_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "integration/platform/scoped_env.h"
#include "support/temp_dir.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::TempDir;

mode_t ModeOf(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// A child process that takes a lock and keeps it until it is killed.
class LockHolder {
 public:
  explicit LockHolder(const std::string& name) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      auto lock = NamedLock::TryAcquire(name);
      char ok = lock ? '1' : '0';
      if (::write(fds[1], &ok, 1) != 1) ::_exit(2);
      for (;;) ::pause();
    }
    ::close(fds[1]);
    char ok = 0;
    acquired_ = pid_ > 0 && ::read(fds[0], &ok, 1) == 1 && ok == '1';
    ::close(fds[0]);
  }
  ~LockHolder() { Kill(); }
  bool acquired() const { return acquired_; }
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool acquired_ = false;
};

class NamedLockTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::permissions(runtime_.path(), fs::perms::owner_all); }

  TempDir runtime_;
  ScopedEnv xdg_{"XDG_RUNTIME_DIR", runtime_.path().c_str()};
};

TEST_F(NamedLockTest, LockOfAnotherProcessIsSeenAndFreedWhenItIsKilled) {
  LockHolder holder("QuillmerePatcherExist");
  ASSERT_TRUE(holder.acquired());

  EXPECT_TRUE(NamedLock::IsHeld("QuillmerePatcherExist"));
  NamedLock::Outcome outcome{};
  EXPECT_EQ(NamedLock::TryAcquire("QuillmerePatcherExist", &outcome), nullptr);
  EXPECT_EQ(outcome, NamedLock::Outcome::kHeldElsewhere);
  // Other names are independent.
  EXPECT_FALSE(NamedLock::IsHeld("QuillmereLauncherExist"));
  EXPECT_NE(NamedLock::TryAcquire("QuillmereLauncherExist"), nullptr);

  holder.Kill();
  EXPECT_FALSE(NamedLock::IsHeld("QuillmerePatcherExist"));
  auto lock = NamedLock::TryAcquire("QuillmerePatcherExist", &outcome);
  EXPECT_NE(lock, nullptr);
  EXPECT_EQ(outcome, NamedLock::Outcome::kAcquired);
}

TEST_F(NamedLockTest, ProbingNeverKeepsOrCreatesTheLock) {
  EXPECT_FALSE(NamedLock::IsHeld("Probe"));
  EXPECT_FALSE(fs::exists(NamedLock::LockFilePath("Probe")));

  for (int i = 0; i < 3; ++i) EXPECT_FALSE(NamedLock::IsHeld("Probe"));
  auto lock = NamedLock::TryAcquire("Probe");
  ASSERT_NE(lock, nullptr);
  EXPECT_TRUE(fs::exists(NamedLock::LockFilePath("Probe")));
  EXPECT_TRUE(NamedLock::IsHeld("Probe"));
  // A second holder in the same process is refused as well.
  EXPECT_EQ(NamedLock::TryAcquire("Probe"), nullptr);

  lock.reset();
  EXPECT_FALSE(NamedLock::IsHeld("Probe"));
  EXPECT_NE(NamedLock::TryAcquire("Probe"), nullptr);
}

TEST_F(NamedLockTest, LockFilePathFollowsTheEnvironment) {
  const std::string uid = std::to_string(::geteuid());
  EXPECT_EQ(NamedLock::LockFilePath("QuillmereLauncherExist"),
            (runtime_.path() / "QuillmereLauncherExist.lock").string());
  {
    // A relative runtime directory is ignored, as is a relative TMPDIR.
    ScopedEnv xdg("XDG_RUNTIME_DIR", "relative/dir");
    ScopedEnv tmp("TMPDIR", "also/relative");
    EXPECT_EQ(NamedLock::LockFilePath("X"), "/tmp/quillmere-" + uid + "/X.lock");
  }
  {
    ScopedEnv xdg("XDG_RUNTIME_DIR", nullptr);
    ScopedEnv tmp("TMPDIR", "/var/tmp/");
    EXPECT_EQ(NamedLock::LockFilePath("X"), "/var/tmp/quillmere-" + uid + "/X.lock");
  }
  for (const char* bad : {"", ".", "..", "a/b", "/abs"}) {
    EXPECT_EQ(NamedLock::LockFilePath(bad), "") << bad;
    NamedLock::Outcome outcome{};
    EXPECT_EQ(NamedLock::TryAcquire(bad, &outcome), nullptr) << bad;
    EXPECT_EQ(outcome, NamedLock::Outcome::kUnavailable) << bad;
    EXPECT_FALSE(NamedLock::IsHeld(bad)) << bad;
  }
}

TEST_F(NamedLockTest, UntrustedRuntimeDirectoryIsNotUsed) {
  fs::permissions(runtime_.path(), fs::perms::all);
  NamedLock::Outcome outcome{};
  EXPECT_EQ(NamedLock::TryAcquire("X", &outcome), nullptr);
  EXPECT_EQ(outcome, NamedLock::Outcome::kUnavailable);
  EXPECT_FALSE(fs::exists(runtime_.path() / "X.lock"));
}

class FallbackDirectoryTest : public ::testing::Test {
 protected:
  fs::path PrivateDir() const {
    return base_.path() / ("quillmere-" + std::to_string(::geteuid()));
  }
  void ExpectUnavailable() {
    NamedLock::Outcome outcome{};
    EXPECT_EQ(NamedLock::TryAcquire("X", &outcome), nullptr);
    EXPECT_EQ(outcome, NamedLock::Outcome::kUnavailable);
    EXPECT_FALSE(NamedLock::IsHeld("X"));
  }

  TempDir base_;
  ScopedEnv xdg_{"XDG_RUNTIME_DIR", nullptr};
  ScopedEnv tmp_{"TMPDIR", base_.path().c_str()};
};

TEST_F(FallbackDirectoryTest, IsCreatedPrivateAndWorks) {
  const mode_t oldMask = ::umask(022);
  LockHolder holder("X");
  ::umask(oldMask);
  ASSERT_TRUE(holder.acquired());
  EXPECT_EQ(ModeOf(PrivateDir()), 0700u);
  EXPECT_EQ(NamedLock::LockFilePath("X"), (PrivateDir() / "X.lock").string());
  EXPECT_EQ(ModeOf(PrivateDir() / "X.lock"), 0600u);
  EXPECT_TRUE(NamedLock::IsHeld("X"));
  holder.Kill();
  EXPECT_NE(NamedLock::TryAcquire("X"), nullptr);
}

TEST_F(FallbackDirectoryTest, WithWrongModeIsNotTrusted) {
  fs::create_directory(PrivateDir());
  ::chmod(PrivateDir().c_str(), 0755);
  ExpectUnavailable();
  EXPECT_EQ(ModeOf(PrivateDir()), 0755u);
  EXPECT_FALSE(fs::exists(PrivateDir() / "X.lock"));
}

TEST_F(FallbackDirectoryTest, OwnedBySomeoneElseIsNotTrusted) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the directory away";
  fs::create_directory(PrivateDir());
  ::chmod(PrivateDir().c_str(), 0700);
  ASSERT_EQ(::chown(PrivateDir().c_str(), 65534, 65534), 0);
  ExpectUnavailable();
  EXPECT_FALSE(fs::exists(PrivateDir() / "X.lock"));
}

TEST_F(FallbackDirectoryTest, LinksAreNotFollowed) {
  TempDir elsewhere;
  fs::permissions(elsewhere.path(), fs::perms::owner_all);
  fs::create_directory_symlink(elsewhere.path(), PrivateDir());
  ExpectUnavailable();
  EXPECT_TRUE(fs::is_empty(elsewhere.path()));

  // A link planted in place of a lock file is not followed either.
  fs::remove(PrivateDir());
  fs::create_directory(PrivateDir());
  ::chmod(PrivateDir().c_str(), 0700);
  fs::create_symlink(elsewhere.path() / "victim", PrivateDir() / "X.lock");
  ExpectUnavailable();
  EXPECT_FALSE(fs::exists(elsewhere.path() / "victim"));
}

}  // namespace
}  // namespace launcher
