// The incremental update's handling of odd lists, failed fetches and failed
// installs, on trees built with the engine's own format code and served by
// nginx.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "files/paths.h"
#include "files/string_table.h"
#include "support/engine_env.h"
#include "support/nginx_server.h"
#include "support/player_rights.h"
#include "support/release_server.h"
#include "update/incremental_update.h"
#include "update/list_path.h"
#include "update/state_files.h"
#include "update/update_state.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::DirectoryToken;
using testing::DisplayCall;
using testing::EngineEnv;
using testing::NginxServer;
using testing::ReadFileBytes;
using testing::Release;
using testing::ServerTree;
using testing::WriteFileBytes;

const std::string kMarker = "-----BEGIN KESTREL SIGNATURE-----\n";

class IncrementalFaultsTest : public ::testing::Test {
 protected:
  IncrementalFaultsTest() : tree_(env_.root() / "served") {
    tree_.WriteVersion(101);
    nginx_ = std::make_unique<NginxServer>(tree_.root());
    env_.UseServer(nginx_->BaseUrl());
  }
  int Run(int local = 100, int server = 101) {
    env_.NewRun();
    LocalVersion = local;
    ServerVersion = server;
    return RunIncrementalUpdate();
  }
  Release Installed() const { return testing::ReadTree(env_.Patcher()); }
  std::vector<std::string> FileRequests() const {
    std::vector<std::string> out;
    for (const auto& line : testing::SettledAccessLog(*nginx_)) {
      if (line.rfind("GET /patcher/patcher/", 0) == 0)
        out.push_back(line.substr(0, line.find('\t')));
    }
    return out;
  }
  bool Logged(const std::u16string& line) const {
    auto logs = env_.LogLines();
    return std::find(logs.begin(), logs.end(), line) != logs.end();
  }
  bool Shown(int slot) const {
    auto texts = env_.display.Texts(DisplayCall::kStatus);
    return std::find(texts.begin(), texts.end(), EngineEnv::Msg(slot)) != texts.end();
  }

  EngineEnv env_;
  ServerTree tree_;
  std::unique_ptr<NginxServer> nginx_;
};

TEST_F(IncrementalFaultsTest, CommentLinesDoNotCountAsEntries) {
  const Release from = {{"a.txt", "1"}, {"d/b.txt", "2"}};
  const Release to = {{"a.txt", "one"}, {"d/b.txt", "two"}, {"d/c.txt", "three"}, {"e.txt", "e"}};
  testing::WriteTree(env_.Patcher(), from);
  tree_.WriteSignedList(1, "# list of 101\n" + tree_.DiffList(from, to, true) + "#last\n");
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(EntryCount, 4);
  EXPECT_EQ(Installed(), to);
  EXPECT_EQ(env_.display.Percents(DisplayCall::kTotal),
            (std::vector<int>{0, 25, 50, 75, 100, 0, 25, 50, 75, 100, 100}));
}

TEST_F(IncrementalFaultsTest, UpperCaseDigestNeverMatchesAndTheUpdateFailsWithStateKept) {
  const std::string digest = tree_.AddFile("up.txt", "content");
  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  WriteFileBytes(env_.Patcher("up.txt"), "content");  // even the right file does not match
  tree_.WriteSignedList(1, "+" + upper + " /dXAudHh0\n");
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(FileRequests().size(), 2u);
  EXPECT_GE(env_.clock.TotalSleptMs(), 20000u);
  EXPECT_LT(env_.clock.TotalSleptMs(), 21000u);
  EXPECT_TRUE(fs::exists(env_.Config("inc.sw")));
  // The entry was never completed: any record left names none done.
  if (fs::exists(env_.Config("ustate.sw"))) {
    EXPECT_EQ(ParseUpdateState(ReadFileBytes(env_.Config("ustate.sw"))).entriesDone, 0);
  }
  EXPECT_FALSE(fs::exists(env_.Config("version.sw")));
  EXPECT_FALSE(Shown(MSG_APPLYING));
}

TEST_F(IncrementalFaultsTest, ListThatFailsVerificationIsUnusable) {
  WriteFileBytes(tree_.root() / "patcher" / "v-1.inc",
                 "+" + std::string(32, 'a') + " /YQ==\n" + kMarker + "AAAA\n");
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(Logged(EngineEnv::Msg(MSG_LOG_LIST_UNUSABLE)));
  EXPECT_TRUE(Shown(MSG_LIST_UNUSABLE));
  EXPECT_EQ(env_.display.Texts(DisplayCall::kDetail).back(), u"");
  EXPECT_EQ(env_.clock.TotalSleptMs(), 300u);
}

// A list naming a path outside ../patcher/ is refused whole: nothing is
// fetched, staged, installed or deleted, not even its harmless entries.
TEST_F(IncrementalFaultsTest, ListWithAnEscapingPathIsRefusedBeforeAnythingChanges) {
  testing::WriteTree(env_.Patcher(), {{"victim.txt", "keep me"}});
  WriteFileBytes(env_.root() / "outside.txt", "outside");
  const std::string good =
      "+" + tree_.AddFile("fine.txt", "fine") + " /" + EncodeListName("fine.txt") + "\n";
  const std::string escapes[] = {
      "- " + EncodeListPath("../outside.txt").substr(1) + "\n",
      "- " + EncodeListPath("x/../../outside.txt").substr(1) + "\n",
      "+" + std::string(32, 'a') + " " + EncodeListName("/tmp/abs.txt") + "\n",
      "- /" + EncodeListName("..\\outside.txt") + "\n",
  };
  for (const std::string& bad : escapes) {
    tree_.WriteSignedList(1, good + "- /" + EncodeListName("victim.txt") + "\n" + bad);
    fs::remove(env_.Config("inc.sw"));
    EXPECT_EQ(Run(), 0) << bad;
    EXPECT_TRUE(Shown(MSG_LIST_UNUSABLE)) << bad;
    EXPECT_EQ(Installed(), (Release{{"victim.txt", "keep me"}})) << bad;
    EXPECT_EQ(ReadFileBytes(env_.root() / "outside.txt"), "outside") << bad;
    EXPECT_FALSE(fs::exists(env_.Config("temp"))) << bad;
  }
  EXPECT_TRUE(FileRequests().empty());
}

TEST_F(IncrementalFaultsTest, SymbolicLinkInThePatcherTreeIsNotFollowed) {
  testing::TempDir outside;
  fs::create_directory_symlink(outside.path(), env_.Patcher("data"));
  Release to = {{"data/x.bin", "x"}};
  tree_.WriteSignedList(1, tree_.DiffList({}, to));
  EXPECT_EQ(Run(), 0) << "the install through the link fails, so the update does";
  EXPECT_TRUE(fs::is_empty(outside.path()));
  EXPECT_NE(
      env_.ErrorLog().find(u"S0 ../config/patcher/temp/./data/x.bin => ../patcher/./data/x.bin"),
      std::u16string::npos);
}

// A list of an earlier version kept from an interrupted run must not be
// applied when the new list cannot be fetched.
TEST_F(IncrementalFaultsTest, StaleListIsDroppedBeforeTheNewOneIsFetched) {
  const std::string evil = "+" + tree_.AddFile("stale.txt", "from version 100") + " /" +
                           EncodeListName("stale.txt") + "\n";
  WriteFileBytes(env_.Config("inc.sw"), ServerTree::Sign(evil));
  WriteFileBytes(env_.Config("ustate.sw"), "100 0 0 0\r\r\n");
  // The server announces 101 but has no v-1.inc.
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(Shown(MSG_LIST_UNUSABLE));
  EXPECT_TRUE(Installed().empty());
  EXPECT_TRUE(FileRequests().empty());
}

// A directory of ../patcher/ that is a symbolic link is never installed
// through: the install fails, and the next run repeats it.
void BlockWithALink(const fs::path& at) {
  fs::create_directories(at.parent_path() / "elsewhere");
  fs::create_directory_symlink(at.parent_path() / "elsewhere", at);
}

TEST_F(IncrementalFaultsTest, FailedInstallKeepsTheStateAndTheNextRunFinishes) {
  const Release to = {{"a.txt", "new a"}, {"b/b.txt", "new b"}, {"c.txt", "new c"}};
  tree_.WriteSignedList(1, tree_.DiffList({}, to));
  BlockWithALink(env_.Patcher("b"));
  EXPECT_EQ(Run(), 0);
  EXPECT_FALSE(fs::exists(env_.Config("version.sw"))) << "no success recorded for a failed install";
  EXPECT_TRUE(fs::exists(env_.Config("inc.sw")));
  EXPECT_EQ(ReadFileBytes(env_.Config("ustate.sw")), "101 3 0 0\r\r\n");
  EXPECT_EQ(ReadFileBytes(env_.Patcher("a.txt")), "new a");
  EXPECT_EQ(ReadFileBytes(env_.Config("temp/b/b.txt")), "new b") << "the staged copy waits";
  const std::size_t fetched = FileRequests().size();

  fs::remove(env_.Patcher("b"));
  fs::remove_all(env_.Patcher("elsewhere"));
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Installed(), to);
  EXPECT_EQ(FileRequests().size(), fetched) << "the second run only repeats the apply pass";
  EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "101\r\n");
}

// A staged copy the resume record counts can be lost (to a power cut that
// kept the record but not the copy's rename): the run fetches it again and
// finishes.
TEST_F(IncrementalFaultsTest, LostStagedCopyIsFetchedAgainInTheSameRun) {
  const Release to = {{"a.txt", "new a"}, {"b/b.txt", "new b"}};
  tree_.WriteSignedList(1, tree_.DiffList({}, to));
  BlockWithALink(env_.Patcher("b"));
  EXPECT_EQ(Run(), 0);
  fs::remove(env_.Patcher("b"));
  fs::remove_all(env_.Patcher("elsewhere"));
  fs::remove(env_.Config("temp/b/b.txt"));
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Installed(), to);
  const auto requests = FileRequests();
  ASSERT_EQ(requests.size(), 3u) << "a.txt once, b.txt twice";
  EXPECT_NE(requests.back().find(EncodeListPath("b/b.txt").substr(2)), std::string::npos);
}

// After a power cut the resume record can name a list whose data never
// reached the disk: the kept list fails its signature, and is fetched again.
TEST_F(IncrementalFaultsTest, KeptListThatNoLongerVerifiesIsFetchedAgain) {
  const Release to = {{"a.txt", "new a"}};
  tree_.WriteSignedList(1, tree_.DiffList({}, to));
  WriteFileBytes(env_.Config("inc.sw"), std::string(300, '\0'));
  WriteFileBytes(env_.Config("ustate.sw"), "101 0 0 0\r\r\n");
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Installed(), to);
}

// A staged copy left by an interrupted run of an older list is never
// installed over a file that is already current.
TEST_F(IncrementalFaultsTest, StagedCopyOfAnOlderListIsDroppedNotInstalled) {
  const Release to = {{"x.txt", "current"}, {"y.txt", "fetched now"}};
  testing::WriteTree(env_.Patcher(), {{"x.txt", "current"}});
  WriteFileBytes(env_.Config("temp/x.txt"), "stale from an older list");
  tree_.WriteSignedList(1, tree_.DiffList({}, to));
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Installed(), to);
  EXPECT_FALSE(fs::exists(env_.Config("temp")));

  // A resumed run whose fetch pass is past x.txt, with the installed copy
  // gone meanwhile (deleted, quarantined): the stale copy is still not
  // installed, and x.txt is fetched again in the same run. Leftovers of
  // other paths go too.
  fs::remove(env_.Patcher("x.txt"));
  fs::remove(env_.Config("version.sw"));
  WriteFileBytes(env_.Config("temp/x.txt"), "stale from an older list");
  WriteFileBytes(env_.Config("temp/old/gone.txt"), "named by no entry");
  WriteFileBytes(env_.Config("inc.sw"), ReadFileBytes(tree_.root() / "patcher" / "v-1.inc"));
  WriteFileBytes(env_.Config("ustate.sw"), "101 2 0 0\r\r\n");
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Installed(), to);
  EXPECT_FALSE(fs::exists(env_.Config("temp")));
}

// The same resumed run with the installed copy there but unreadable (a
// sharing violation on Windows, no read right here): unreadable is not
// "different", so the stale copy is still not installed.
TEST_F(IncrementalFaultsTest, UnreadableInstalledFileIsNeverReplacedByAStaleCopy) {
  const Release to = {{"x.txt", "current"}, {"y.txt", "fetched now"}};
  testing::WriteTree(env_.Patcher(), {{"x.txt", "current"}});
  tree_.WriteSignedList(1, tree_.DiffList({}, to));
  WriteFileBytes(env_.Config("temp/x.txt"), "stale from an older list");
  WriteFileBytes(env_.Config("inc.sw"), ReadFileBytes(tree_.root() / "patcher" / "v-1.inc"));
  WriteFileBytes(env_.Config("ustate.sw"), "101 2 0 0\r\r\n");
  fs::permissions(env_.Patcher("x.txt"), fs::perms::none);
  {
    testing::WithoutReadOverride asPlayer;
    EXPECT_EQ(Run(), 1);
  }
  EXPECT_EQ(Installed(), to);
  EXPECT_FALSE(fs::exists(env_.Config("temp")));
}

// Lists the format allows though the publisher never writes them: one file
// named twice (joined by hand, or an entry repeated), and an entry before the
// list's first "/" entry. Each finishes in one run and writes version.sw; of
// two entries for one file the later is what counts.
TEST_F(IncrementalFaultsTest, OddButValidListsFinishInOneRunAndTheLaterEntryCounts) {
  const std::string x = DirectoryToken("data/x.dat");
  const std::string xNew = "+" + tree_.AddFile("data/x.dat", "x new");
  const std::string xOld = "+" + tree_.AddFile("old/x.dat", "x old");  // not served for data/x.dat
  const std::string setup = "+" + tree_.AddFile("setup.ini", "setup") + " " +
                            EncodeListName("setup.ini") + "\n";  // before any "/" entry
  const std::string main =
      "+" + tree_.AddFile("data/main.exe", "main") + " " + DirectoryToken("data/main.exe") + "\n";
  struct Case {
    const char* what;
    std::string list;
    Release before;
    Release after;
    std::size_t fetches;
  } cases[] = {
      {"the same entry twice",
       xNew + " " + x + "\n" + xNew + " " + x + "\n",
       {},
       {{"data/x.dat", "x new"}},
       1},
      {"an older entry, then the newer",
       xOld + " " + x + "\n" + xNew + " " + x + "\n",
       {},
       {{"data/x.dat", "x new"}},
       1},
      {"the newer already installed",
       xOld + " " + x + "\n" + xNew + " " + x + "\n",
       {{"data/x.dat", "x new"}},
       {{"data/x.dat", "x new"}},
       0},
      {"added, then deleted", xNew + " " + x + "\n- " + x + "\n", {{"data/x.dat", "x"}}, {}, 0},
      {"an entry before the first directory",
       setup + main,
       {},
       {{"setup.ini", "setup"}, {"data/main.exe", "main"}},
       2},
  };
  for (const Case& c : cases) {
    fs::remove_all(env_.Patcher());
    testing::WriteTree(env_.Patcher(), c.before);
    fs::remove(env_.Config("version.sw"));
    tree_.WriteSignedList(1, c.list);
    const std::size_t fetched = FileRequests().size();
    const std::uint64_t slept = env_.clock.TotalSleptMs();
    EXPECT_EQ(Run(), 1) << c.what;
    EXPECT_EQ(Installed(), c.after) << c.what;
    EXPECT_EQ(FileRequests().size() - fetched, c.fetches) << c.what;
    EXPECT_EQ(env_.clock.TotalSleptMs(), slept) << c.what << ": no retry";
    EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "101\r\n") << c.what;
    EXPECT_FALSE(fs::exists(env_.Config("ustate.sw"))) << c.what;
    EXPECT_FALSE(fs::exists(env_.Config("temp"))) << c.what;
  }

  // A staged copy that has gone by the apply pass only fails its entry when
  // the installed file is not current either.
  fs::remove_all(env_.Patcher());
  tree_.WriteSignedList(1, xNew + " " + x + "\n");
  env_.display.SetHook([&](const DisplayCall& call) {
    if (call.kind == DisplayCall::kStatus && call.text == EngineEnv::Msg(MSG_APPLYING)) {
      fs::remove(env_.Config("temp/data/x.dat"));
      WriteFileBytes(env_.Patcher("data/x.dat"), "x new");
    }
  });
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "101\r\n");
  EXPECT_TRUE(env_.ErrorLog().empty());
}

TEST_F(IncrementalFaultsTest, ListWithoutEntriesCompletesTheUpdate) {
  tree_.WriteSignedList(1, "# nothing changed\n");
  WriteFileBytes(env_.Config("ustate.sw"), "99 0 0 0\r\r\n");
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "101\r\n");
  EXPECT_FALSE(fs::exists(env_.Config("inc.sw")));
  EXPECT_FALSE(fs::exists(env_.Config("ustate.sw")));
}

TEST_F(IncrementalFaultsTest, ResumeRecordThatTempfileCannotBackStartsTheTransferAfresh) {
  const Release to = {{"r.bin", testing::NoiseBytes(40000, 5)}};
  tree_.WriteSignedList(1, tree_.DiffList({}, to));
  ASSERT_EQ(Run(), 1);
  fs::remove(env_.Config("version.sw"));
  fs::remove_all(env_.Patcher("r.bin"));
  // An interrupted run whose tempfile.dat has gone since.
  const std::size_t before = testing::SettledAccessLog(*nginx_).size();
  WriteFileBytes(env_.Config("inc.sw"), ReadFileBytes(tree_.root() / "patcher" / "v-1.inc"));
  WriteFileBytes(env_.Config("ustate.sw"), "101 0 30000 40100\r\r\n");
  fs::remove(env_.Config("tempfile.dat"));
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Installed(), to);
  auto lines = testing::SettledAccessLog(*nginx_);
  ASSERT_EQ(lines.size(), before + 1);
  EXPECT_NE(lines.back().find("\t-\t200\t"), std::string::npos) << lines.back();

  // A tempfile.dat of another transfer (the record reached the disk, the
  // file's re-creation at the announced length did not): too short for the
  // rest of the body, so the transfer starts afresh rather than failing.
  fs::remove(env_.Config("version.sw"));
  fs::remove_all(env_.Patcher("r.bin"));
  WriteFileBytes(env_.Config("inc.sw"), ReadFileBytes(tree_.root() / "patcher" / "v-1.inc"));
  WriteFileBytes(env_.Config("ustate.sw"), "101 0 10000 40100\r\r\n");
  WriteFileBytes(env_.Config("tempfile.dat"), std::string(20000, 'x'));
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Installed(), to);
  lines = testing::SettledAccessLog(*nginx_);
  EXPECT_NE(lines.back().find("\t-\t200\t"), std::string::npos) << lines.back();
}

TEST_F(IncrementalFaultsTest, CompleteTempfileFromAStoppedRunPassesWithoutRefetching) {
  const Release to = {{"whole.bin", testing::NoiseBytes(50000, 8)}};
  tree_.WriteSignedList(1, tree_.DiffList({}, to));
  const std::string compressed =
      ReadFileBytes(tree_.root() / "patcher" / "patcher" / EncodeListPath("whole.bin").substr(2));
  WriteFileBytes(env_.Config("inc.sw"), ReadFileBytes(tree_.root() / "patcher" / "v-1.inc"));
  WriteFileBytes(env_.Config("tempfile.dat"), compressed);
  WriteFileBytes(env_.Config("ustate.sw"), "101 0 " + std::to_string(compressed.size()) + " " +
                                               std::to_string(compressed.size()) + "\r\r\n");
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Installed(), to);
  auto lines = testing::SettledAccessLog(*nginx_);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\t416\t"), std::string::npos) << lines[0];
}

}  // namespace
}  // namespace launcher
