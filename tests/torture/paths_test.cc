// Hostile paths: lists (signed with the test key, as a compromised or
// careless publisher could) naming "..", absolute paths, empty components,
// control characters or backslash escapes, and symbolic links planted in the
// installation or the staging trees that point outside. Nothing may be
// written, replaced, deleted or re-moded through any of them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/string_table.h"
#include "torture/torture_bed.h"
#include "update/incremental_update.h"
#include "update/list_path.h"
#include "update/update_state.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::Release;
using testing::ServerTree;
using testing::WriteFileBytes;

class PathsTest : public testing::TortureBed {
 protected:
  void SetUp() override {
    Install({{"main.exe", "old main"}, {"victim.txt", "keep me"}});
    StartNginx();
  }
  int RunIncremental() {
    env_.NewRun();
    env_.display.Clear();
    std::error_code ec;
    fs::remove(env_.Config("inc.sw"), ec);
    LocalVersion = 1;
    ServerVersion = 2;
    SharedDownloader = std::make_unique<Downloader>();
    return RunIncrementalUpdate();
  }
};

// Tokens whose decoded path leaves ../patcher/ or is malformed. Built from
// runs by hand, because the publisher refuses to write such names.
std::vector<std::pair<std::string, std::string>> HostileTokens() {
  const std::string outside = EncodeListName("outside");
  const std::string precious = EncodeListName("precious.txt");
  const std::string dotdot = EncodeListName("..");
  return {
      {"parent", "/" + dotdot + "/" + outside + "/" + precious},
      {"parent deep",
       "/" + EncodeListName("a") + "/" + dotdot + "/" + dotdot + "/" + outside + "/" + precious},
      {"absolute run", EncodeListName("/tmp/absolute.txt")},
      {"absolute token", "//" + EncodeListName("tmp") + "/" + precious},
      {"empty component", "/" + EncodeListName("a") + "//" + precious},
      {"control character", "/" + EncodeListName("bad\x01name.txt")},
      {"line feed", "/" + EncodeListName("bad\nname.txt")},
      {"escape in backslashes", "/" + EncodeListName("..\\outside\\precious.txt")},
      {"backslash separators", "/" + dotdot + "\\" + outside + "\\" + precious},
      {"dot dot alone", "/" + dotdot},
      {"empty", "/"},
  };
}

TEST_F(PathsTest, HostileListPathsRefuseTheWholeListOnBothPaths) {
  const std::string good = testing::FullListLine(tree_.AddFile("main.exe", "new main"), "main.exe");
  const auto patcher = PatcherState();
  const auto rest = RestState();
  for (const auto& [what, token] : HostileTokens()) {
    SCOPED_TRACE(what);
    const std::string digest = tree_.AddFile("x.bin", "hostile");
    // The harmless entry comes first: refusing must happen before any work.
    ServeFullList(ServerTree::Sign(good + digest + " " + token + "\n"));
    EXPECT_FALSE(RunFullCheckOnce());
    EXPECT_TRUE(StatusShown(MSG_LIST_UNUSABLE));
    ExpectPatcherUnchanged(patcher);

    tree_.WriteSignedList(1, "+" + good + "-" + digest + " " + token + "\n" + "- /" +
                                 EncodeListName("victim.txt") + "\n");
    EXPECT_EQ(RunIncremental(), 0);
    EXPECT_TRUE(StatusShown(MSG_LIST_UNUSABLE));
    ExpectPatcherUnchanged(patcher);
    EXPECT_FALSE(fs::exists(env_.Config("version.sw")));
    ExpectNothingStray(rest);
  }
  EXPECT_EQ(FileRequestCount(), 0u);
}

// A backslash inside a name is a separator, as on the platform the lists
// come from: "sub\\file.txt" lands in sub/file.txt, inside the tree.
TEST_F(PathsTest, BackslashInsideTheTreeIsASeparator) {
  const std::string digest = tree_.AddFile("sub\\file.txt", "through a backslash");
  ServeFullList(ServerTree::Sign(digest + " /" + EncodeListName("sub\\file.txt") + "\n"));
  EXPECT_TRUE(RunFullCheckOnce());
  EXPECT_EQ(ReadFileBytes(env_.Patcher("sub/file.txt")), "through a backslash");
}

struct PlantedLink {
  const char* what;
  const char* linkRel;    // below the temporary root
  const char* targetRel;  // below outside/
  bool directory;
};

// Links planted by someone who can write into the installation: the update
// may fail, but nothing outside the installation changes, not even a mode.
TEST_F(PathsTest, PlantedSymbolicLinksAreNeverWrittenThrough) {
  const Release release = {{"main.exe", "new main"}, {"data/a.pak", "new a"}, {"b.ini", "b"}};
  const std::string list = FullListContent(release);
  std::string incList;
  for (std::size_t start = 0; start < list.size();) {
    const std::size_t end = list.find('\n', start);
    incList += "+" + list.substr(start, end + 1 - start);
    start = end + 1;
  }
  const PlantedLink links[] = {
      {"installed directory", "patcher/data", "", true},
      {"installed file", "patcher/main.exe", "precious.txt", false},
      {"full-list staging tree", "config/patcher/Check", "", true},
      {"directory inside the staging tree", "config/patcher/Check/data", "", true},
      {"staged file", "config/patcher/Check/b.ini", "precious.txt", false},
      {"incremental staging tree", "config/patcher/temp", "", true},
      {"download target", "config/patcher/tempfile.dat", "precious.txt", false},
      {"fetched list", "config/patcher/FullList.sw", "precious.txt", false},
      {"kept incremental list", "config/patcher/inc.sw", "precious.txt", false},
      {"installed version", "config/patcher/version.sw", "precious.txt", false},
      {"resume record", "config/patcher/ustate.sw", "precious.txt", false},
      {"server's version answer", "config/patcher/newver.sw", "precious.txt", false},
  };
  for (const PlantedLink& link : links) {
    SCOPED_TRACE(link.what);
    Install({{"main.exe", "old main"}, {"data/a.pak", "old a"}});
    fs::remove_all(env_.Config());
    fs::create_directories(env_.Config());
    const fs::path at = root() / link.linkRel;
    fs::create_directories(at.parent_path());
    fs::remove_all(at);
    fs::create_symlink(Outside(link.targetRel), at);
    // Read-only, so that a mode change made through the link shows.
    fs::permissions(Outside("precious.txt"),
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read,
                    fs::perm_options::replace);
    const auto outside = testing::SnapshotTree(Outside());

    ServeFullList(ServerTree::Sign(list));
    RunFullCheckOnce();
    EXPECT_EQ(testing::DescribeTreeDifference(outside, testing::SnapshotTree(Outside())), "")
        << "full check";

    tree_.WriteSignedList(1, incList);
    env_.NewRun();
    LocalVersion = 1;
    ServerVersion = 2;
    SharedDownloader = std::make_unique<Downloader>();
    RunIncrementalUpdate();
    EXPECT_EQ(testing::DescribeTreeDifference(outside, testing::SnapshotTree(Outside())), "")
        << "incremental update";
    // Whatever the runs did, no installed file is anything but old or new.
    for (const auto& [path, content] : Installed()) {
      EXPECT_TRUE(content == "old main" || content == "old a" || release.count(path))
          << path << " holds " << content;
    }
  }
}

// A resumed transfer opens its target without truncating; a link there
// must make the attempt fail, not receive the rest of the body.
TEST_F(PathsTest, ResumeNeverWritesThroughALinkedDownloadTarget) {
  const std::string digest = tree_.AddFile("big.bin", testing::NoiseBytes(50000, 4));
  tree_.WriteSignedList(1, "+" + digest + " /" + EncodeListName("big.bin") + "\n");
  WriteFileBytes(env_.Config("inc.sw"), ReadFileBytes(tree_.root() / "patcher" / "v-1.inc"));
  WriteFileBytes(env_.Config("ustate.sw"), "2 0 20000 50000\r\r\n");
  // Long enough that the record looks backed by the file it names.
  WriteFileBytes(Outside("large.bin"), std::string(50000, 'z'));
  fs::create_symlink(Outside("large.bin"), env_.Config("tempfile.dat"));
  const auto outside = testing::SnapshotTree(Outside());
  const auto patcher = PatcherState();
  env_.NewRun();
  LocalVersion = 1;
  ServerVersion = 2;
  SharedDownloader = std::make_unique<Downloader>();
  RunIncrementalUpdate();
  EXPECT_EQ(testing::DescribeTreeDifference(outside, testing::SnapshotTree(Outside())), "");
  for (const auto& [path, content] : Installed()) {
    if (path == "big.bin") {
      EXPECT_EQ(content, testing::NoiseBytes(50000, 4));
    }
  }
}

}  // namespace
}  // namespace launcher
