#include "files/server_select.h"

#include <gtest/gtest.h>

#include "files/paths.h"
#include "files/server_mirrors.h"
#include "files/utf16.h"
#include "support/engine_state.h"
#include "support/utf16_files.h"

namespace launcher {
namespace {

using namespace launcher::testing;

class ServerSelectTest : public ::testing::Test {
 protected:
  void Settings(std::u16string_view text, bool withBom = true) {
    WriteUtf16File(root_ / "config/patcher/update.cfg", text, withBom);
  }
  void ServerList(std::u16string_view text, bool withBom = true) {
    WriteUtf16File(root_ / "patcher/server/updateserver.txt", text, withBom);
  }
  void ExpectBase(const std::u16string& base) {
    EXPECT_EQ(ServerBaseUrl, base);
    EXPECT_EQ(PidUrl, base + u"info/pid");
    EXPECT_EQ(PatchUrl, base + u"patcher/");
    EXPECT_EQ(PatchFilesUrl, base + u"patcher/patcher/");
  }

  ScopedEngineState state_;
  TempDir root_;
  ScopedCurrentDir cwd_{MakeInstallLayout(root_.path())};
};

TEST_F(ServerSelectTest, SelectedServerSetsTheWholeUrlFamily) {
  Settings(u"Language en\r\nUpdateServerSelect S2\r\n");
  ServerList(u"\"S1\" \"http://one.example/game/\"\r\n\"S2\" \"http://two.example:8080/g/\"\r\n");
  SelectUpdateServer();
  ExpectBase(u"http://two.example:8080/g/");
}

TEST_F(ServerSelectTest, LastMatchingLinesWin) {
  Settings(u"UpdateServerSelect S1\nUpdateServerSelect S2\nUpdateServerSelect\n");
  ServerList(
      u"name=\"S2\" url=\"http://first/\" trailing\n"
      u"\"S1\" \"http://s1/\"\n"
      u"\t\"S2\"\"http://second/\"");
  SelectUpdateServer();
  ExpectBase(u"http://second/");
}

TEST_F(ServerSelectTest, NamesAndTheKeyAreCaseSensitive) {
  Settings(u"UpdateServerSelect s2\n");
  ServerList(u"\"S2\" \"http://two/\"\n");
  SelectUpdateServer();
  ExpectBase(DefaultServerBaseUrl);

  Settings(u"updateserverselect S2\n");
  SelectUpdateServer();
  ExpectBase(DefaultServerBaseUrl);
}

TEST_F(ServerSelectTest, FilesWithoutByteOrderMarkLoseTheirFirstCharacter) {
  Settings(u"UpdateServerSelect S2\n", /*withBom=*/false);
  ServerList(u"\"S2\" \"http://two/\"\n");
  SelectUpdateServer();
  ExpectBase(DefaultServerBaseUrl);

  Settings(u"UpdateServerSelect S2\n");
  ServerList(u"\"S2\" \"http://two/\"\n", /*withBom=*/false);
  SelectUpdateServer();
  ExpectBase(DefaultServerBaseUrl);
}

TEST_F(ServerSelectTest, IncompleteListLinesAreIgnored) {
  Settings(u"UpdateServerSelect S2\n");
  ServerList(
      u"\"S2\" \"http://good/\"\n"
      u"\"S2\"\n"
      u"\"S2\" \"http://unterminated/\n"
      u"\"S2 \"http://one-field/\n"
      u"S2 http://no-quotes/\n");
  SelectUpdateServer();
  ExpectBase(u"http://good/");
}

TEST_F(ServerSelectTest, UrlIsTakenVerbatimAndDerivedUrlsAreAlwaysRebuilt) {
  Settings(u"UpdateServerSelect Local\n");
  ServerList(u"\"Local\" \"http://127.0.0.1:9/no-slash\"\n");
  SelectUpdateServer();
  ExpectBase(u"http://127.0.0.1:9/no-slash");

  // Nothing selected: the current base stays, the others are rebuilt from it.
  SetServerBaseUrl(DefaultServerBaseUrl);
  PatchFilesUrl = u"stale";
  PidUrl = u"stale";
  std::filesystem::remove(root_ / "config/patcher/update.cfg");
  SelectUpdateServer();
  ExpectBase(DefaultServerBaseUrl);

  Settings(u"UpdateServerSelect Local\n");
  std::filesystem::remove(root_ / "patcher/server/updateserver.txt");
  PatchUrl = u"stale";
  SelectUpdateServer();
  ExpectBase(DefaultServerBaseUrl);
}

// A third quoted field names a mirror group: the selected server comes
// first, then the others of its group in file order, each address once. A
// server without a group stays alone, whatever groups other lines name.
TEST_F(ServerSelectTest, MirrorGroupsGiveFallbacksInFileOrder) {
  Settings(u"UpdateServerSelect EU\n");
  ServerList(
      u"\"US\" \"http://us/\" \"game\"\n"
      u"\"Test\" \"http://test/\"\n"
      u"\"EU\" \"http://eu-old/\" \"game\"\n"
      u"\"Asia\" \"http://asia/\" \"other\"\n"
      u"\"EU\" \"http://eu/\" \"game\"\n"
      u"\"US2\" \"http://us/\" \"game\"\n"
      u"\"AU\" \"http://au/\" \"game\" trailing\n");
  SelectUpdateServer();
  ExpectBase(u"http://eu/");
  ASSERT_EQ(RunServers.size(), 3u);
  EXPECT_EQ(RunServers.at(1).baseUrl, u"http://us/");
  EXPECT_EQ(RunServers.at(2).baseUrl, u"http://au/");
  EXPECT_EQ(RunServers.Label(2), u"AU");

  // A server found down is left out of a file's order, the home first; with
  // every server down, all are tried again.
  RunServers.MarkDown(0);
  EXPECT_EQ(RunServers.FileOrder(), (std::vector<std::size_t>{1, 2}));
  EXPECT_EQ(RunServers.NextAfter(0), 1u);
  RunServers.MoveHome(2);
  EXPECT_EQ(ServerBaseUrl, u"http://au/");
  EXPECT_EQ(RunServers.FileOrder(), (std::vector<std::size_t>{2, 1}));
  RunServers.MarkDown(1);
  RunServers.MarkDown(2);
  EXPECT_EQ(RunServers.FileOrder(), (std::vector<std::size_t>{2, 0, 1}));
  EXPECT_EQ(RunServers.NextAfter(0), ServerMirrors::kNone);

  Settings(u"UpdateServerSelect Test\n");
  SelectUpdateServer();
  ExpectBase(u"http://test/");
  EXPECT_FALSE(RunServers.several());
}

TEST_F(ServerSelectTest, DownloadConnectionsSettingTakesSmallNumbersOnly) {
  Settings(u"DownloadConnections 3\nUpdateServerSelect S\nDownloadConnections 2\n");
  EXPECT_EQ(ConfiguredDownloadConnections(), 2);
  for (const char16_t* bad : {u"0", u"17", u"-1", u"2x", u"99999999999"}) {
    Settings(std::u16string(u"DownloadConnections ") + bad + u"\n");
    EXPECT_EQ(ConfiguredDownloadConnections(), 0) << ToUtf8(bad);
  }
  std::filesystem::remove(root_ / "config/patcher/update.cfg");
  EXPECT_EQ(ConfiguredDownloadConnections(), 0);
}

}  // namespace
}  // namespace launcher
