// The Windows tree switch: a switch that a crash cut anywhere is finished
// (or undone) by the next run from its journal, and a journal that does not
// name this tool's directories moves nothing. Real directories, under Wine.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "publish/tree_switch.h"
#include "support/temp_dir.h"

namespace launcher::publish {
namespace {

namespace fs = std::filesystem;
using launcher::testing::ReadFileBytes;
using launcher::testing::TempDir;
using launcher::testing::WriteFileBytes;

class TreeSwitchWin32Test : public ::testing::Test {
 protected:
  // A tree whose "patcher/version" holds `version`.
  void Tree(const std::string& name, const std::string& version) {
    fs::create_directories(dir_ / name / "patcher");
    WriteFileBytes(dir_ / name / "patcher" / "version", version);
  }
  void Journal() { WriteFileBytes(dir_ / "srv.switch", "srv.old-aaaaaa\nsrv.new-bbbbbb\n"); }
  std::string Recover() {
    std::string problem;
    std::string note;
    EXPECT_TRUE(RecoverTreeSwitch(dir_ / "srv", problem, note)) << problem;
    return note;
  }
  // The names left in the directory, sorted, joined by spaces.
  std::string Names() const {
    std::string names;
    std::set<std::string> sorted;
    for (const auto& item : fs::directory_iterator(dir_.path()))
      sorted.insert(item.path().filename().string());
    for (const auto& name : sorted) names += (names.empty() ? "" : " ") + name;
    return names;
  }
  std::string Served() const { return ReadFileBytes(dir_ / "srv" / "patcher" / "version"); }

  TempDir dir_;
};

TEST_F(TreeSwitchWin32Test, ACutSwitchEndsWithTheOldOrTheNewTreeServed) {
  // Cut between the two renames: the new tree (synced before the journal
  // was written) goes in.
  Tree("srv.old-aaaaaa", "1");
  Tree("srv.new-bbbbbb", "2");
  Journal();
  EXPECT_NE(Recover().find("finished an interrupted switch"), std::string::npos);
  EXPECT_EQ(Served(), "2");
  EXPECT_EQ(Names(), "srv");

  // Cut before the first rename: the old tree stays, the unserved build goes.
  Tree("srv.new-bbbbbb", "3");
  Journal();
  Recover();
  EXPECT_EQ(Served(), "2");
  EXPECT_EQ(Names(), "srv");

  // Cut after both renames: only the old tree aside is left to remove.
  Tree("srv.old-aaaaaa", "1");
  Journal();
  Recover();
  EXPECT_EQ(Served(), "2");
  EXPECT_EQ(Names(), "srv");

  // Cut between the renames with the new tree gone: the old one goes back.
  fs::rename(dir_ / "srv", dir_ / "srv.old-aaaaaa");
  Journal();
  EXPECT_NE(Recover().find("undid"), std::string::npos);
  EXPECT_EQ(Served(), "2");
  EXPECT_EQ(Names(), "srv");

  // Nothing to finish: nothing happens.
  EXPECT_EQ(Recover(), "");
}

TEST_F(TreeSwitchWin32Test, AJournalNamingOtherDirectoriesMovesNothing) {
  Tree("srv.old-aaaaaa", "1");
  Tree("elsewhere", "2");
  WriteFileBytes(dir_ / "srv.switch", "srv.old-aaaaaa\n..\\elsewhere\n");
  std::string problem;
  std::string note;
  EXPECT_FALSE(RecoverTreeSwitch(dir_ / "srv", problem, note));
  EXPECT_NE(problem.find("does not name this tool's directories"), std::string::npos) << problem;
  EXPECT_EQ(Names(), "elsewhere srv.old-aaaaaa srv.switch");
}

}  // namespace
}  // namespace launcher::publish
