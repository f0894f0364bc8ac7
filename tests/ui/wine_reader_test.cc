// A screen reader beside the real launcher.exe while it makes a first
// installation (the full check) from nginx through a slow relay:
// accessibility_reader.exe of the windows build, under Wine, reads the
// window's lines and bars at each change as a screen reader would. It must
// read the launcher's own story: the roles, the download text as drawn
// (Chinese, no underline ampersand) then the end on the upper line and its
// bar, the large file on the lower line, the lower bar moving and the upper
// bar full. The reader works in the installation's root, as a player's
// prompt on the game folder would: the update must not slow down for it.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "files/string_table.h"
#include "files/utf16.h"
#include "integration/servers/launcher_run.h"
#include "support/headless_program.h"
#include "support/nginx_server.h"
#include "support/tcp_relay.h"
#include "support/utf16_files.h"
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

// What was read for `key` ("name 3"), in order.
std::vector<std::string> Read(const std::vector<std::string>& lines, const std::string& key) {
  std::vector<std::string> out;
  for (const std::string& line : lines)
    if (line.rfind(key + " ", 0) == 0) out.push_back(line.substr(key.size() + 1));
  return out;
}

bool Has(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

TEST(WineScreenReaderTest, ReadsTheLinesAndBarsWhileLauncherExeUpdates) {
  const fs::path tree = WindowsBuildTree();
  for (const char* program : {"src/app/launcher.exe", "tests/ui/win32/accessibility_reader.exe",
                              "tools/fake-patcher/patcher.exe"}) {
    ASSERT_TRUE(fs::exists(tree / program)) << program << ": make windows first";
  }
  JourneyTrees trees;
  NginxServer nginx(trees.Root());
  TcpRelay::Options slow;
  slow.rate = 2 << 20;  // the 3 MiB file takes about 1.5 s
  TcpRelay relay(nginx.port(), slow);

  TempDir dir;
  const fs::path launcher = MakeInstallLayout(dir.path());
  WriteFileBytes(dir / "patcher/server/pid.ini", "[Version]\npid=1\n");
  WriteUtf16Lines(dir / "config/patcher/update.cfg", {"UpdateServerSelect test"});
  WriteUtf16Lines(dir / "patcher/server/updateserver.txt",
                  {"\"test\" \"" + relay.BaseUrl() + "v1/\""});
  // Each slot reads "S<slot>", but the download's text is Chinese with an
  // underlined letter (a later line wins).
  const fs::path table = launcher / "stringtab.txt";
  WriteNumberedStringTable(table);
  const std::u16string downloading = u"下载中 &Data";
  WriteUtf16File(table, ReadUtf16Units(table).substr(1) + u"16 " + downloading + u"\r\n");
  fs::copy_file(tree / "src/app/launcher.exe", launcher / "launcher.exe");
  fs::copy_file(fs::path(LAUNCHER_SOURCE_DIR) / "resources/launcher.bmp",
                launcher / "launcher.bmp");
  fs::copy_file(tree / "tools/fake-patcher/patcher.exe", dir / "patcher/patcher.exe");

  // Wine's null display: the window exists and is read, nothing is drawn.
  const std::map<std::string, std::string> env = {
      {"DISPLAY", ""},
      {"FAKE_PATCHER_RECORD", WinePath(dir / "patcher-record.txt")},
      {"FAKE_PATCHER_SECONDS", "0"}};
  const fs::path record = dir / "reader.txt";
  ChildProcess reader(
      WineRunScript().string(),
      {(tree / "tests/ui/win32/accessibility_reader.exe").string(), WinePath(record), "90"},
      dir.path().string(), env);
  const auto listening = [&] { return Has(Lines(record), "listening"); };
  for (int i = 0; i < 1200 && !listening(); ++i) std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(listening());
  const auto start = std::chrono::steady_clock::now();
  ChildProcess run(WineRunScript().string(), {(launcher / "launcher.exe").string(), "FullCheck"},
                   launcher.string(), env);
  EXPECT_EQ(run.WaitForExit(90s), 0);
  // Without a reader the run takes about 3 s under Wine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s) << "slowed down by the reader";
  EXPECT_EQ(reader.WaitForExit(30s), 0) << "the reader saw the window go";

  const auto lines = Lines(record);
  std::string all;
  for (const std::string& line : lines) all += "\n  " + line;
  // Two progress bars (role 48), then two static texts (41).
  for (const char* role : {"role 1 48", "role 2 48", "role 3 41", "role 4 41"})
    EXPECT_TRUE(Has(lines, role)) << role << all;
  const std::string drawn = ToUtf8(u"下载中 Data");
  const std::string done = "S" + std::to_string(MSG_FULL_CHECK_DONE);
  for (const char* line : {"name 3", "name 1"}) {
    const auto names = Read(lines, line);
    const auto download = std::find(names.begin(), names.end(), drawn);
    EXPECT_NE(download, names.end()) << line << all;
    EXPECT_NE(std::find(download, names.end(), done), names.end()) << line << all;
  }
  const auto detail = Read(lines, "name 4");
  EXPECT_TRUE(std::any_of(detail.begin(), detail.end(), [](const std::string& d) {
    return d.find("big.bin") != d.npos;
  })) << all;
  int moving = 0;
  for (const std::string& v : Read(lines, "value 2")) {
    ASSERT_EQ(v.back(), '%') << all;
    if (const int percent = std::stoi(v); percent > 0 && percent < 100) ++moving;
  }
  EXPECT_GE(moving, 3) << "the lower bar read while it moves" << all;
  EXPECT_TRUE(Has(Read(lines, "value 1"), "100%")) << all;
}

}  // namespace
}  // namespace launcher::testing
