// launcher-headless as a real process: the installation's own string table
// and server choice, the switches from its command line, the whole run on
// its standard output, and the patcher it starts.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <thread>

#include <sstream>

#include "integration/engine/engine_fixture.h"
#include "integration/platform/patcher_record.h"
#include "platform/process.h"
#include "support/publish_fixture.h"

extern char** environ;

namespace launcher {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::EngineFixture;
using testing::ReadFileBytes;
using testing::Release;
using testing::WriteFileBytes;
using testing::WriteUtf16Lines;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class HeadlessTest : public EngineFixture {
 protected:
  void SetUp() override {
    lockDir_ = env_.root() / "locks";
    fs::create_directory(lockDir_);
    fs::permissions(lockDir_, fs::perms::owner_all, fs::perm_options::replace);
    ::setenv("XDG_RUNTIME_DIR", lockDir_.c_str(), 1);
    ::setenv("FAKE_PATCHER_RECORD", (env_.root() / "record.txt").c_str(), 1);
    ::setenv("FAKE_PATCHER_SECONDS", "0", 1);
    fs::copy_file(FAKE_PATCHER_EXE, env_.Patcher("patcher.exe"));
  }
  fs::path Binary() const {
    return fs::path(LAUNCHER_BINARY_DIR) / "tests/integration/engine/launcher-headless";
  }
  fs::path lockDir_;
};

TEST_F(HeadlessTest, FullCheckRunOnTheSelectedServerEndsWithHandOff) {
  const Release release = {{"patcher.dat", "p2"}, {"lang/en.txt", "hello"}};
  Publish(2, release);
  StartServer();
  Install({{"patcher.dat", "p1"}});
  WriteUtf16Lines(env_.root() / "launcher" / "stringtab.txt",
                  {"24 Checking the installation", "13 Comparing files", "20 Installing",
                   "30 All files are current"});
  WriteUtf16Lines(env_.Config("update.cfg"), {"UpdateServerSelect local"});
  WriteUtf16Lines(
      env_.Patcher("server/updateserver.txt"),
      {"\"elsewhere\" \"http://127.0.0.1:1/\"", "\"local\" \"" + nginx_->BaseUrl() + "\""});

  const fs::path binary =
      fs::path(LAUNCHER_BINARY_DIR) / "tests/integration/engine/launcher-headless";
  const auto result =
      testing::RunProcess(binary, {"--dir", (env_.root() / "launcher").string(), "FullCheck"});

  ASSERT_EQ(result.status, 0) << result.err;
  const auto out = Lines(result.out);
  ASSERT_GE(out.size(), 4u) << result.out;
  EXPECT_EQ(out.front(), "status: ");
  EXPECT_EQ(out[1], "status: Checking the installation");
  EXPECT_NE(std::find(out.begin(), out.end(), "status: Installing"), out.end());
  EXPECT_EQ(out[out.size() - 2], "hide");
  EXPECT_EQ(out.back(), "close");
  EXPECT_NE(std::find(out.begin(), out.end(), "status: All files are current"), out.end());
  EXPECT_EQ(Installed(), release);

  const auto records = testing::WaitForPatcherRecords(env_.root() / "record.txt", 1, 5s);
  ASSERT_EQ(records.size(), 1u);
  auto record = records[0];
  EXPECT_EQ(record["arg1"], "/update");
  EXPECT_EQ(record["cwd"], fs::canonical(env_.Patcher()).string());
}

TEST_F(HeadlessTest, MissingOrUnusableDirectoryIsRefused) {
  const fs::path binary =
      fs::path(LAUNCHER_BINARY_DIR) / "tests/integration/engine/launcher-headless";
  EXPECT_EQ(testing::RunProcess(binary, {"--dir"}).status, 2);
  EXPECT_EQ(testing::RunProcess(binary, {"--dir", (env_.root() / "missing").string()}).status, 2);
}

TEST_F(HeadlessTest, SignalWhileWaitingForThePatcherClosesWithoutHandOff) {
  const fs::path record = env_.root() / "record.txt";
  ::setenv("FAKE_PATCHER_SECONDS", "30", 1);
  ASSERT_TRUE(StartDetachedProcess(env_.Patcher("patcher.exe"), {}, env_.Patcher()));
  ::setenv("FAKE_PATCHER_SECONDS", "0", 1);
  auto running = testing::WaitForPatcherRecords(record, 1, 5s);
  ASSERT_EQ(running.size(), 1u);
  ASSERT_EQ(running[0]["lock"], "held");

  WriteUtf16Lines(env_.root() / "launcher" / "stringtab.txt", {"43 Waiting for the patcher"});
  const std::string out = (env_.root() / "out.txt").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::string program = Binary().string(), dirOpt = "--dir",
              dir = (env_.root() / "launcher").string(), update = "/update";
  char* argv[] = {program.data(), dirOpt.data(), dir.data(), update.data(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  // Wait until it is in its tries, then close it.
  for (int i = 0; i < 100 && ReadFileBytes(out).find("Waiting") == std::string::npos; ++i) {
    std::this_thread::sleep_for(20ms);
  }
  std::this_thread::sleep_for(1500ms);
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  const auto lines = Lines(ReadFileBytes(out));
  EXPECT_EQ(lines,
            (std::vector<std::string>{"status: ", "status: Waiting for the patcher", "closing"}));
  EXPECT_EQ(testing::WaitForPatcherRecords(record, 2, 500ms).size(), 1u);  // no start
  testing::StopPatcher(running[0], 2s);
}

}  // namespace
}  // namespace launcher
