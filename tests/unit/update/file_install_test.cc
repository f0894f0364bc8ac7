// Directory helpers and the install of staged files into ../patcher/.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "files/log.h"
#include "files/paths.h"
#include "files/string_table.h"
#include "seam/cancel.h"
#include "support/engine_state.h"
#include "support/recording_display.h"
#include "support/temp_dir.h"
#include "support/utf16_files.h"
#include "update/directories.h"
#include "update/file_install.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::ScopedCurrentDir;
using testing::TempDir;
using testing::WriteFileBytes;

class InstallTest : public ::testing::Test {
 protected:
  InstallTest() : cwd_(testing::MakeInstallLayout(dir_.path())) {
    g_messages[MSG_MOVE_FAILED] = u"S0 %s => %s";
    g_messages[MSG_LOG_INSTALLING_FILE] = u"S21 ";
  }
  fs::path Patcher(std::string_view rel) const { return dir_.path() / "patcher" / rel; }
  fs::path Staged(std::string_view rel) const {
    return dir_.path() / "config" / "patcher" / "temp" / rel;
  }
  std::u16string ErrorLog() const {
    return testing::ReadUtf16Units(dir_.path() / "config" / "patcher" / "fileerr.log");
  }
  std::u16string UpdateLog() const {
    return testing::ReadUtf16Units(dir_.path() / "config" / "patcher" / "update.log");
  }

  testing::ScopedEngineState state_;
  TempDir dir_;
  ScopedCurrentDir cwd_;
};

TEST_F(InstallTest, CreateParentDirectoriesMakesEveryLevel) {
  CreateParentDirectories(u"../config/patcher/temp/./data/sub/main.exe");
  EXPECT_TRUE(fs::is_directory(Staged("data/sub")));
  EXPECT_FALSE(fs::exists(Staged("data/sub/main.exe")));
  CreateParentDirectories(u"../patcher/a\\b/");  // a trailing separator makes the last one too
  EXPECT_TRUE(fs::is_directory(Patcher("a/b")));
}

TEST_F(InstallTest, RemoveEmptyParentDirectoriesStopsAtTheFirstNonEmptyOne) {
  fs::create_directories(Staged("x/y/z"));
  WriteFileBytes(Staged("x/keep.txt"), "k");
  RemoveEmptyParentDirectories(u"../config/patcher/temp/./x/y/z/file");
  EXPECT_FALSE(fs::exists(Staged("x/y")));
  EXPECT_TRUE(fs::exists(Staged("x/keep.txt")));
  fs::remove(Staged("x/keep.txt"));
  WriteFileBytes(dir_.path() / "config" / "patcher" / "update.log", "log");
  RemoveEmptyParentDirectories(u"../config/patcher/temp/./x/file");
  // The whole emptied staging tree goes, but nothing that still holds files.
  EXPECT_FALSE(fs::exists(Staged("")));
  EXPECT_TRUE(fs::is_directory(dir_.path() / "config" / "patcher"));
  EXPECT_TRUE(fs::is_directory(dir_.path() / "launcher"));
}

// A kill during a download leaves the unfinished decompressed copy beside
// its staged name; nothing else in the tree is a file to remove.
TEST_F(InstallTest, RemoveEmptyDirectoryTreeTakesEmptyDirectoriesAndUnfinishedCopiesOnly) {
  const fs::path outside = dir_.path() / "outside";
  fs::create_directories(outside / "empty");
  WriteFileBytes(outside / "theirs.~lnew", "x");
  fs::create_directories(Staged("a/b/c"));
  WriteFileBytes(Staged("a/b/c/pack.pak.~lnew"), "partial");
  WriteFileBytes(Staged("keep/named~lnew"), "n");
  fs::create_directories(Staged("keep/empty"));
  WriteFileBytes(Staged("keep/file.txt"), "f");
  fs::create_directory_symlink(outside, Staged("link"));
  RemoveEmptyDirectoryTree(u"../config/patcher/temp/");
  EXPECT_FALSE(fs::exists(Staged("a")));
  EXPECT_FALSE(fs::exists(Staged("keep/empty")));
  EXPECT_EQ(ReadFileBytes(Staged("keep/file.txt")), "f");
  EXPECT_EQ(ReadFileBytes(Staged("keep/named~lnew")), "n");
  EXPECT_TRUE(fs::is_symlink(Staged("link")));
  EXPECT_TRUE(fs::is_directory(outside / "empty"));
  EXPECT_TRUE(fs::exists(outside / "theirs.~lnew"));

  // The whole tree, when its copies are of no further use: everything goes,
  // a link is removed itself and nothing behind it is touched.
  RemoveDirectoryTree(u"../config/patcher/temp/");
  EXPECT_FALSE(fs::exists(fs::symlink_status(Staged(""))));
  EXPECT_TRUE(fs::exists(outside / "theirs.~lnew"));
  EXPECT_TRUE(fs::is_directory(outside / "empty"));

  // A staging root that is itself a link: nothing behind it is touched.
  const fs::path check = dir_.path() / "config" / "patcher" / "Check";
  fs::create_directory_symlink(outside, check);
  RemoveEmptyDirectoryTree(u"../config/patcher/Check/");
  EXPECT_TRUE(fs::is_symlink(check));
  EXPECT_TRUE(fs::is_directory(outside / "empty"));
}

TEST_F(InstallTest, ReplacesAReadOnlyInstalledFileAndCleansStaging) {
  WriteFileBytes(Patcher("data/main.exe"), "old");
  fs::permissions(Patcher("data/main.exe"), fs::perms::owner_read);
  WriteFileBytes(Staged("data/main.exe"), "new content");
  EXPECT_TRUE(InstallStagedFile(u"./data/main.exe", TempDirPath));
  EXPECT_EQ(ReadFileBytes(Patcher("data/main.exe")), "new content");
  EXPECT_FALSE(fs::exists(Staged("")));
  EXPECT_NE(UpdateLog().find(u"S21 ./data/main.exe\r\n"), std::u16string::npos);
  EXPECT_TRUE(ErrorLog().find(u"S0") == std::u16string::npos);
}

TEST_F(InstallTest, CreatesMissingTargetDirectories) {
  WriteFileBytes(Staged("new/dir/f.txt"), "f");
  EXPECT_TRUE(InstallStagedFile(u"./new/dir/f.txt", TempDirPath));
  EXPECT_EQ(ReadFileBytes(Patcher("new/dir/f.txt")), "f");
}

// A failed install must leave the old file in place, not delete it first.
TEST_F(InstallTest, FailedInstallKeepsTheOldFileAndLogsBothPaths) {
  WriteFileBytes(Patcher("data/main.exe"), "old");
  EXPECT_FALSE(InstallStagedFile(u"./data/main.exe", TempDirPath));  // nothing staged
  EXPECT_EQ(ReadFileBytes(Patcher("data/main.exe")), "old");
  EXPECT_NE(ErrorLog().find(u"S0 ../config/patcher/temp/./data/main.exe => "
                            u"../patcher/./data/main.exe\r\n"),
            std::u16string::npos)
      << "error log lacks the move failure";
}

// A release that turns a directory into a file, or a file into a directory:
// what stands in the way inside ../patcher/ goes, or the rename would fail
// on every run.
TEST_F(InstallTest, DirectoryOrFileInTheWayIsRemoved) {
  fs::create_directories(Patcher("dir.bin/deeper"));
  WriteFileBytes(Patcher("dir.bin/deeper/inner"), "i");
  WriteFileBytes(Staged("dir.bin"), "file");
  EXPECT_TRUE(InstallStagedFile(u"./dir.bin", TempDirPath));
  EXPECT_EQ(ReadFileBytes(Patcher("dir.bin")), "file");

  WriteFileBytes(Patcher("was.file"), "old");
  WriteFileBytes(Staged("was.file/now/inside.bin"), "inside");
  EXPECT_TRUE(InstallStagedFile(u"./was.file/now/inside.bin", TempDirPath));
  EXPECT_EQ(ReadFileBytes(Patcher("was.file/now/inside.bin")), "inside");
  EXPECT_TRUE(ErrorLog().empty());
}

TEST_F(InstallTest, NeverWritesThroughASymbolicLink) {
  TempDir outside;
  fs::create_directory_symlink(outside.path(), Patcher("linked"));
  WriteFileBytes(Staged("linked/evil.txt"), "x");
  EXPECT_FALSE(StaysInsideRoot(PatcherDirPath, u"./linked/evil.txt"));
  EXPECT_FALSE(InstallStagedFile(u"./linked/evil.txt", TempDirPath));
  EXPECT_FALSE(fs::exists(outside.path() / "evil.txt"));
  EXPECT_FALSE(CreateParentDirectoriesUnder(PatcherDirPath, u"./linked/sub/f"));
  EXPECT_FALSE(fs::exists(outside.path() / "sub"));

  // A link as the last component is removed itself; its target is untouched.
  WriteFileBytes(outside.path() / "target.txt", "t");
  fs::permissions(outside.path() / "target.txt", fs::perms::owner_read);
  fs::create_symlink(outside.path() / "target.txt", Patcher("link.txt"));
  EXPECT_EQ(DeleteFileUnder(PatcherDirPath, u"./link.txt"), 1);
  EXPECT_FALSE(fs::is_symlink(Patcher("link.txt")));
  EXPECT_EQ(fs::status(outside.path() / "target.txt").permissions(), fs::perms::owner_read);
}

TEST_F(InstallTest, InstallsAcrossFileSystems) {
  // ../patcher/ on tmpfs while the staging tree stays where the test runs.
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  char pattern[] = "/dev/shm/launcher-xdev-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path other = pattern;
  struct stat a {
  }, b{};
  ::stat(other.c_str(), &a);
  ::stat(dir_.path().c_str(), &b);
  if (a.st_dev == b.st_dev) {
    fs::remove_all(other);
    GTEST_SKIP() << "/dev/shm is on the same file system";
  }
  fs::remove_all(Patcher(""));
  fs::create_directory_symlink(other, dir_.path() / "patcher");
  WriteFileBytes(other / "f.bin", "old");
  WriteFileBytes(Staged("f.bin"), "new across devices");
  EXPECT_TRUE(InstallStagedFile(u"./f.bin", TempDirPath));
  EXPECT_EQ(ReadFileBytes(other / "f.bin"), "new across devices");
  EXPECT_FALSE(fs::exists(Staged("f.bin")));
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(other)) ++files;
  EXPECT_EQ(files, 1u) << "no temporary copy may stay beside the target";
  fs::remove_all(other);
}

}  // namespace
}  // namespace launcher
