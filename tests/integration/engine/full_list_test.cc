// The full check and the update from the full list, end to end: trees built
// by launcher-publish, served by nginx, installations in temporary
// directories.
#include <gtest/gtest.h>

#include <algorithm>

#include "files/string_table.h"
#include "integration/engine/engine_fixture.h"
#include "seam/cancel.h"
#include "support/fault_server.h"
#include "update/full_check.h"
#include "update/list_path.h"
#include "update/normal_update.h"
#include "update/update_state.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::DisplayCall;
using testing::EngineFixture;
using testing::ReadFileBytes;
using testing::Release;
using testing::WriteFileBytes;

using FullListTest = EngineFixture;

std::size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  return static_cast<std::size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

bool Contains(const std::vector<std::u16string>& texts, const std::u16string& text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

TEST_F(FullListTest, FirstRunChecksEveryFileFetchesOnlyTheDifferingOnesThenStaysCurrent) {
  const Release release = {{"main.exe", "main v3"},
                           {"data/a.pak", "aaaa v3"},
                           {"data/b.pak", "bbbb v3"},
                           {"data/deep/c.ini", "cc v3"},
                           {"readme.txt", "read me v3"}};
  Publish(3, release);
  StartServer();
  Install({{"main.exe", "main v3"}, {"data/a.pak", "aaaa v2"}, {"readme.txt", "read me v3"}});

  RunNormalUpdate();

  EXPECT_EQ(Installed(), release);
  EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "3\r\n");
  EXPECT_EQ(ReadFileBytes(env_.Config("Listver.sw")), "3\r\n");
  EXPECT_TRUE(fs::exists(env_.Config("FullList.sw")));
  for (const char* gone : {"tempfile.dat", "Check", "newver.sw", "ustate.sw"}) {
    EXPECT_FALSE(fs::exists(env_.Config(gone))) << gone;
  }
  EXPECT_FALSE(fs::exists(env_.root() / "config" / "pid.sw"));
  EXPECT_EQ(FileRequestCount(), 3u);  // a.pak, b.pak, c.ini
  const auto log = Log();
  EXPECT_EQ(CountPrefix(log, "S14 "), 5u);  // every file checked
  EXPECT_EQ(CountPrefix(log, "S21 "), 3u);  // three installed
  const auto statuses = Statuses();
  for (int slot : {MSG_UPDATE_START, MSG_FULL_CHECK_NEEDED, MSG_FULL_CHECK_START, MSG_FETCHING_LIST,
                   MSG_CHECKING_FILES, MSG_INSTALLING, MSG_FULL_CHECK_DONE}) {
    EXPECT_TRUE(Contains(statuses, Msg(slot))) << slot;
  }
  EXPECT_EQ(statuses.back(), Msg(MSG_FULL_CHECK_DONE));

  NewRun();
  RunNormalUpdate();
  EXPECT_EQ(Statuses(), (std::vector<std::u16string>{Msg(MSG_UPDATE_START), Msg(MSG_UPDATE_DONE)}));
  EXPECT_EQ(Totals(), std::vector<int>{100});
  EXPECT_EQ(FileBars(), std::vector<int>{100});
  EXPECT_EQ(Details(), std::vector<std::u16string>{u""});
  EXPECT_EQ(FileRequestCount(), 3u);
}

TEST_F(FullListTest, ThreeOf200DifferProgressRunsOver200ThenOver3AndUnlistedFilesStay) {
  const Release release = testing::ManyFiles(200, 7);
  Publish(5, release);
  StartServer();
  Release local = release;
  local["dir2/file10.dat"] = "old ten";
  local["dir0/file100.dat"] = "old hundred";
  local["dir2/file190.dat"] = "old 190";
  local["extra/mine.cfg"] = "the user's own file";
  Install(local);

  RunFullCheck(0);

  Release expected = release;
  expected["extra/mine.cfg"] = "the user's own file";
  EXPECT_EQ(Installed(), expected);
  EXPECT_EQ(Statuses().back(), Msg(MSG_FULL_CHECK_DONE));
  EXPECT_EQ(FileRequestCount(), 3u);

  // The upper bar: 0 at the start, the check pass over 200 entries, the
  // install pass over 3, then the finish.
  std::vector<int> expectedTotals = {0, 0};
  for (int i = 1; i <= 200; ++i) expectedTotals.push_back(i * 100 / 200);
  for (int p : {0, 33, 66, 100, 100}) expectedTotals.push_back(p);
  EXPECT_EQ(Totals(), expectedTotals);

  const auto log = Log();
  EXPECT_EQ(CountPrefix(log, "S14 "), 200u);
  EXPECT_EQ(CountPrefix(log, "S19 "), 1u);
  std::vector<std::string> installed;
  for (const auto& line : log) {
    if (line.rfind("S21 ", 0) == 0) installed.push_back(line);
  }
  EXPECT_EQ(installed, (std::vector<std::string>{"S21 ./dir0/file100.dat", "S21 ./dir2/file10.dat",
                                                 "S21 ./dir2/file190.dat"}));
}

TEST_F(FullListTest, FetchThatFailsAfter150Of200LeavesThePatcherDirectoryUnchanged) {
  const Release release = testing::ManyFiles(200, 11);
  Publish(4, release);
  // Every installed copy differs, and the 151st file in list order cannot be
  // had from the server.
  Release local;
  for (const auto& [path, content] : release) local[path] = "old " + path;
  Install(local);
  auto it = release.begin();
  std::advance(it, 150);
  fs::remove(served_ / "patcher" / "patcher" / EncodeListPath(it->first).substr(2));
  StartServer();
  WriteFileBytes(env_.Config("version.sw"), "2\r\n");

  RunFullCheck(0);

  EXPECT_EQ(Installed(), local);
  EXPECT_EQ(Statuses().back(), Msg(MSG_FULL_CHECK_FAILED));
  EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "2\r\n");
  // What was staged stays: the 150 files before it, and any fetched ahead.
  const Release staged = testing::ReadTree(env_.Config("Check"));
  EXPECT_GE(staged.size(), 150u);
  EXPECT_EQ(staged.count(it->first), 0u);
  EXPECT_EQ(CountPrefix(Log(), "S21 "), 0u);
  // Two attempts for the missing file, the second about 10 s after the first.
  EXPECT_GE(env_.clock.TotalSleptMs(), 20000u);
}

TEST_F(FullListTest, ListNamingAPathOutsideItsRootIsRefusedWhole) {
  Publish(2, {{"a.txt", "a2"}});
  const std::string good = ReadFileBytes(served_ / "patcher" / "files.md5");
  const std::string digest = good.substr(0, 32);
  const std::string evilToken = "/../" + EncodeListPath("evil.txt").substr(2);
  const std::string list =
      digest + " " + EncodeListPath("a.txt").substr(1) + "\n" + digest + " " + evilToken + "\n";
  WriteFileBytes(served_ / "patcher" / "files.md5", testing::ServerTree::Sign(list));
  StartServer();
  Install({{"a.txt", "a1"}});

  RunFullCheck(0);

  EXPECT_EQ(Installed(), (Release{{"a.txt", "a1"}}));
  EXPECT_FALSE(fs::exists(env_.root() / "evil.txt"));
  EXPECT_FALSE(fs::exists(env_.Config("version.sw")));
  EXPECT_EQ(FileRequestCount(), 0u);
  const auto statuses = Statuses();
  EXPECT_TRUE(Contains(statuses, Msg(MSG_LIST_UNUSABLE)));
  EXPECT_EQ(statuses.back(), Msg(MSG_FULL_CHECK_FAILED));
  EXPECT_EQ(CountPrefix(Log(), "S11 "), 1u);
}

TEST_F(FullListTest, FailedMoveLeavesVersionUnwrittenAndTheStagedFileInCheck) {
  Publish(6, {{"a.txt", "a6"}, {"b/c.txt", "c6"}});
  StartServer();
  Install({{"a.txt", "a5"}});
  // The directory of b/c.txt is a symbolic link, never installed through:
  // its move must fail.
  fs::create_directories(env_.Patcher("elsewhere"));
  WriteFileBytes(env_.Patcher("elsewhere/keep.me"), "keep");
  fs::create_directory_symlink(env_.Patcher("elsewhere"), env_.Patcher("b"));
  WriteFileBytes(env_.Config("version.sw"), "5\r\n");

  RunFullCheck(0);

  EXPECT_EQ(ReadFileBytes(env_.Patcher("a.txt")), "a6");  // the pass went on
  EXPECT_EQ(ReadFileBytes(env_.Patcher("elsewhere/keep.me")), "keep");
  EXPECT_FALSE(fs::exists(env_.Patcher("elsewhere/c.txt")));
  EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "5\r\n");
  EXPECT_EQ(ReadFileBytes(env_.Config("Check/b/c.txt")), "c6");
  EXPECT_EQ(Statuses().back(), Msg(MSG_FULL_CHECK_FAILED));
  EXPECT_NE(testing::Narrow(env_.ErrorLog()).find("S0 ../config/patcher/Check/./b/c.txt"),
            std::string::npos)
      << testing::Narrow(env_.ErrorLog());

  // Once the link is gone the next full check completes.
  fs::remove(env_.Patcher("b"));
  NewRun();
  RunFullCheck(0);
  EXPECT_EQ(Statuses().back(), Msg(MSG_FULL_CHECK_DONE));
  EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "6\r\n");
  EXPECT_FALSE(fs::exists(env_.Config("Check")));
}

// A release that turns a directory into a file and a file into a directory,
// reached by the full check because version.sw is gone: the old directory
// and the old file stand in the way of the new files, and a killed run left
// an empty staging directory where this list stages a file. One run finishes.
TEST_F(FullListTest, ReleaseThatSwapsAFileAndADirectoryFinishesInOneRun) {
  const Release release = {{"data/x", "x is a file now"}, {"data/y/inner.bin", "y holds a file"}};
  Publish(3, release);
  StartServer();
  Install({{"data/x/old.bin", "x was a directory"}, {"data/y", "y was a file"}});
  fs::create_directories(env_.Config("Check/data/x"));

  RunNormalUpdate();

  EXPECT_EQ(Statuses().back(), Msg(MSG_FULL_CHECK_DONE));
  EXPECT_EQ(Installed(), release);
  EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "3\r\n");
  EXPECT_FALSE(fs::exists(env_.Config("Check")));
}

// A run killed between an install and the removal of the directory it
// emptied leaves that directory in Check/, where no later run stages anything
// again. The next finished run removes it, with or without files to fetch.
TEST_F(FullListTest, EmptyStagingDirectoriesLeftByAKilledRunGoWithTheNextFinishedRun) {
  Publish(2, {{"d0/a.txt", "a2"}, {"d1/b.txt", "b2"}});
  StartServer();
  Install({{"d0/a.txt", "a2"}, {"d1/b.txt", "b1"}});
  fs::create_directories(env_.Config("Check/d0/deep"));

  RunFullCheck(0);
  EXPECT_EQ(Statuses().back(), Msg(MSG_FULL_CHECK_DONE));
  EXPECT_EQ(FileRequestCount(), 1u);
  EXPECT_FALSE(fs::exists(env_.Config("Check")));

  fs::create_directories(env_.Config("Check/d0"));
  fs::create_directories(env_.Config("Check/d1/deep"));
  NewRun();
  RunFullCheck(0);
  EXPECT_EQ(Statuses().back(), Msg(MSG_FULL_CHECK_DONE));
  EXPECT_EQ(FileRequestCount(), 1u) << "nothing to fetch";
  EXPECT_FALSE(fs::exists(env_.Config("Check")));
}

// A list the publisher never writes but the format allows: an entry before
// the first "/" entry, and one file named twice. The run finishes at once and
// stays finished.
TEST_F(FullListTest, EntryBeforeTheFirstDirectoryAndAFileNamedTwiceFinishInOneRun) {
  Publish(2, {{"a.txt", "a2"}});
  testing::ServerTree tree(served_);
  const std::string setup = tree.AddFile("setup.ini", "setup 2");
  const std::string main = tree.AddFile("data/main.exe", "main 2");
  const std::string oldMain = tree.AddFile("old/main.exe", "main 1");
  const std::string list = setup + " " + EncodeListName("setup.ini") + "\n" + oldMain + " " +
                           testing::DirectoryToken("data/main.exe") + "\n" + main + " " +
                           EncodeListName("main.exe") + "\n";
  WriteFileBytes(served_ / "patcher" / "files.md5", testing::ServerTree::Sign(list));
  StartServer();
  Install({{"setup.ini", "setup 1"}, {"data/main.exe", "main 0"}});

  RunFullCheck(0);

  EXPECT_EQ(Statuses().back(), Msg(MSG_FULL_CHECK_DONE));
  EXPECT_EQ(Installed(), (Release{{"setup.ini", "setup 2"}, {"data/main.exe", "main 2"}}));
  EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "2\r\n");
  EXPECT_EQ(FileRequestCount(), 2u);
  EXPECT_FALSE(fs::exists(env_.Config("Check")));

  NewRun();
  RunFullCheck(0);
  EXPECT_EQ(Statuses().back(), Msg(MSG_FULL_CHECK_DONE));
  EXPECT_EQ(FileRequestCount(), 2u) << "nothing fetched again";
}

TEST_F(FullListTest, ListWithOnlyCommentsChangesNothing) {
  Publish(2, {{"a.txt", "a2"}});
  WriteFileBytes(served_ / "patcher" / "files.md5", testing::ServerTree::Sign("# nothing\n"));
  StartServer();
  Install({{"a.txt", "a1"}});
  WriteFileBytes(env_.Config("version.sw"), "1\r\n");

  RunFullCheck(0);

  EXPECT_EQ(Statuses().back(), Msg(MSG_FULL_CHECK_DONE));
  EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "1\r\n");
  EXPECT_EQ(Installed(), (Release{{"a.txt", "a1"}}));
}

TEST_F(FullListTest, WindowClosedDuringTheCheckPassLeavesThePatcherDirectoryUnchanged) {
  Publish(2, {{"a.txt", "a2"}, {"b.txt", "b2"}, {"c.txt", "c2"}});
  StartServer();
  const Release local = {{"a.txt", "a1"}, {"b.txt", "b1"}, {"c.txt", "c1"}};
  Install(local);
  int fetches = 0;
  env_.display.SetHook([&](const DisplayCall& call) {
    // The window closes while the second file is being fetched.
    if (call.kind == DisplayCall::kStatus && call.text == Msg(MSG_DOWNLOADING) && ++fetches == 2) {
      CancelRequested.store(1);
      WindowClosing.store(1);
    }
  });

  EXPECT_TRUE(testing::EndsCancelled([] { RunFullCheck(0); }));

  EXPECT_EQ(Installed(), local);
  EXPECT_FALSE(fs::exists(env_.Config("version.sw")));
  EXPECT_EQ(ReadFileBytes(env_.Config("Check/a.txt")), "a2");
}

TEST_F(FullListTest, ReachedFromTheNormalPathAFailedSecondVersionFetchKeepsTheFirstAnswer) {
  Publish(3, {{"a.txt", "a3"}});
  testing::FaultServer server("{}", served_);
  env_.UseServer(server.BaseUrl());
  Install({{"a.txt", "a2"}});
  WriteFileBytes(env_.Config("version.sw"), "9\r\n");  // ahead of the server
  env_.display.SetHook([&](const DisplayCall& call) {
    if (call.kind == DisplayCall::kStatus && call.text == Msg(MSG_FULL_CHECK_NEEDED)) {
      server.Configure(R"({"routes": {"/patcher/version": {"status": 404, "body": "gone"}}})");
    }
  });

  RunNormalUpdate();

  EXPECT_EQ(ServerVersion, 3);
  EXPECT_EQ(Statuses().back(), Msg(MSG_FULL_CHECK_DONE));
  EXPECT_EQ(ReadFileBytes(env_.Config("Listver.sw")), "3\r\n");
  EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "3\r\n");
  EXPECT_EQ(Installed(), (Release{{"a.txt", "a3"}}));
  std::size_t versionRequests = 0;
  for (const auto& request : server.Requests()) {
    if (request.rfind("GET /patcher/version ", 0) == 0) ++versionRequests;
  }
  // The first answer, the failed second fetch, and the look once the list
  // is here (which, failing too, changes nothing).
  EXPECT_EQ(versionRequests, 3u);
}

}  // namespace
}  // namespace launcher
