// launcher-headless as a real process: the installation's own string table
// and server choice, the switches from its command line, the whole run on
// its standard output, and the patcher it starts.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <sstream>

#include "integration/engine/engine_fixture.h"
#include "integration/platform/patcher_record.h"
#include "support/publish_fixture.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::EngineFixture;
using testing::ReadFileBytes;
using testing::Release;
using testing::WriteFileBytes;

// A UTF-16LE text file with its byte-order mark, lines ended by CR LF.
void WriteUtf16Lines(const fs::path& path, const std::vector<std::string>& lines) {
  std::string bytes = "\xFF\xFE";
  for (const std::string& line : lines) {
    for (char c : line + "\r\n") {
      bytes += c;
      bytes += '\0';
    }
  }
  WriteFileBytes(path, bytes);
}

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

}  // namespace
}  // namespace launcher
