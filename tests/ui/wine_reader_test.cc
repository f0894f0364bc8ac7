// A screen reader beside the real launcher.exe while it updates: the
// player's first installation (the full check) from nginx on loopback,
// through a relay slow enough that the large file takes a while, with
// accessibility_reader.exe of the windows build listening under Wine. What
// it reads at each change must be the launcher's own story: the status line
// going through the download to the end, the file in hand on the lower
// line, the lower bar moving and the upper bar reaching 100 %. The reader
// works in the installation's root, as a player's prompt on the game
// folder would: the update must not slow down for it.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "files/string_table.h"
#include "integration/servers/launcher_run.h"
#include "support/headless_program.h"
#include "support/nginx_server.h"
#include "support/tcp_relay.h"
#include "support/temp_dir.h"
#include "support/windows_build.h"
#include "x11_session.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::vector<std::string> Lines(const fs::path& file) {
  std::vector<std::string> out;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

bool WaitForLine(const fs::path& file, const std::string& wanted, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto lines = Lines(file);
    if (std::find(lines.begin(), lines.end(), wanted) != lines.end()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

// The texts read for `child` after `kind` ("name" or "value"), in order,
// without repeats of the one before.
std::vector<std::string> Heard(const std::vector<std::string>& lines, const std::string& kind,
                               int child) {
  const std::string prefix = kind + " " + std::to_string(child) + " ";
  std::vector<std::string> out;
  for (const std::string& line : lines) {
    if (line.rfind(prefix, 0) != 0) continue;
    const std::string text = line.substr(prefix.size());
    if (out.empty() || out.back() != text) out.push_back(text);
  }
  return out;
}

fs::path BuildFile(const std::string& relative) {
  const fs::path file = WindowsBuildTree() / relative;
  return fs::exists(file) ? file : fs::path();
}

TEST(WineScreenReaderTest, ReadsTheLinesAndBarsWhileLauncherExeUpdates) {
  const fs::path launcherExe = BuildFile("src/app/launcher.exe");
  const fs::path reader = BuildFile("tests/ui/win32/accessibility_reader.exe");
  const fs::path patcher = BuildFile("tools/fake-patcher/patcher.exe");
  ASSERT_FALSE(launcherExe.empty() || reader.empty() || patcher.empty())
      << "build the windows preset first (make windows)";

  JourneyTrees trees;
  NginxServer nginx(trees.Root());
  TcpRelay::Options slow;
  slow.rate = 2 << 20;  // the 3 MiB file takes about 1.5 s
  TcpRelay relay(nginx.port(), slow);

  TempDir dir;
  const fs::path launcher = MakeInstallLayout(dir.path());
  WriteFileBytes(dir / "patcher" / "server" / "pid.ini", "[Version]\npid=1\n");
  WriteUtf16Lines(dir / "config" / "patcher" / "update.cfg", {"UpdateServerSelect test"});
  WriteUtf16Lines(dir / "patcher" / "server" / "updateserver.txt",
                  {"\"test\" \"" + relay.BaseUrl() + "v1/\""});
  WriteNumberedStringTable(launcher / "stringtab.txt");
  fs::copy_file(launcherExe, launcher / "launcher.exe");
  fs::copy_file(fs::path(LAUNCHER_SOURCE_DIR) / "resources/launcher.bmp",
                launcher / "launcher.bmp");
  fs::copy_file(patcher, dir / "patcher" / "patcher.exe");

  // Wine's null display: the window exists and is read, nothing is drawn.
  const std::map<std::string, std::string> env = {
      {"DISPLAY", ""},
      {"FAKE_PATCHER_RECORD", WinePath(dir / "patcher-record.txt")},
      {"FAKE_PATCHER_SECONDS", "0"}};
  const fs::path record = dir / "reader.txt";
  // Started in the installation's root, as a player's prompt or Explorer
  // window on the game folder would hold it.
  ChildProcess listening(WineRunScript().string(), {reader.string(), WinePath(record), "90"},
                         dir.path().string(), env);
  ASSERT_TRUE(WaitForLine(record, "listening", 60s));
  ChildProcess run(WineRunScript().string(), {(launcher / "launcher.exe").string(), "FullCheck"},
                   launcher.string(), env);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run.WaitForExit(90s), 0);
  // Without a reader the run takes about 3 s under Wine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s)
      << "the held installation folder made the clean-up wait";
  EXPECT_EQ(listening.WaitForExit(30s), 0) << "the reader saw the window go";

  const auto lines = Lines(record);
  std::string all;
  for (const std::string& line : lines) all += "\n  " + line;
  // The upper line: the download, then the end (the string table names each
  // slot "S<slot>"). A reader reads when the event reaches it, so a text
  // shown only for a moment may be read as the one after it.
  const auto status = Heard(lines, "name", 3);
  auto at = status.begin();
  for (const int slot : {MSG_DOWNLOADING, MSG_FULL_CHECK_DONE}) {
    at = std::find(at, status.end(), "S" + std::to_string(slot));
    ASSERT_NE(at, status.end()) << "S" << slot << " not read in order: " << all;
  }
  // The upper bar is named by the upper line and ends full.
  const auto totalNames = Heard(lines, "name", 1);
  const auto totalValues = Heard(lines, "value", 1);
  ASSERT_FALSE(totalNames.empty() || totalValues.empty()) << all;
  EXPECT_EQ(totalNames.back(), "S" + std::to_string(MSG_FULL_CHECK_DONE)) << all;
  EXPECT_EQ(totalValues.back(), "100%") << all;
  // The lower line names the large file while it comes, and the lower bar
  // is read moving through it.
  const auto detail = Heard(lines, "name", 4);
  EXPECT_TRUE(std::any_of(detail.begin(), detail.end(), [](const std::string& d) {
    return d.find("big.bin") != d.npos;
  })) << all;
  const auto file = Heard(lines, "value", 2);
  int between = 0;
  for (const std::string& v : file) {
    ASSERT_FALSE(v.empty());
    ASSERT_EQ(v.back(), '%') << v;
    const int percent = std::stoi(v);
    ASSERT_TRUE(percent >= 0 && percent <= 100) << v;
    if (percent > 0 && percent < 100) ++between;
  }
  EXPECT_GE(between, 3) << "the lower bar read while it moves: " << all;
}

}  // namespace
}  // namespace launcher::testing
