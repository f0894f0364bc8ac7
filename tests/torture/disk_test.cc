// Disk trouble: a small file system (tmpfs) that fills up during the
// download, the decompression or the install pass; a read-only directory
// inside the installation and a read-only configuration tree; the
// configuration directory replaced by a file. Each run that cannot finish
// says so, loses nothing installed and leaves no partial file in place; the
// next run with room completes.
//
// Mounting needs root (or CAP_SYS_ADMIN); without it the tests skip.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "files/string_table.h"
#include "torture/scoped_tmpfs.h"
#include "torture/torture_bed.h"
#include "update/full_check.h"
#include "update/update_state.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::DisplayCall;
using testing::EngineEnv;
using testing::ReadFileBytes;
using testing::Release;
using testing::ScopedTmpfs;
using testing::WriteFileBytes;

// Writes a file until the file system is full.
void FillUp(const fs::path& path) {
  std::ofstream out(path, std::ios::binary);
  const std::string block(4096, 'F');
  while (out.write(block.data(), static_cast<std::streamsize>(block.size()))) out.flush();
}

class DiskTest : public testing::TortureBed {
 protected:
  // Moves the installation onto a tmpfs of `bytes`: the launcher, patcher
  // and config trees all live there, so the install pass stays a rename.
  bool MountSmallInstallation(std::size_t bytes) {
    if (::geteuid() != 0) return false;
    small_ = std::make_unique<ScopedTmpfs>(root() / "small", bytes);
    if (!small_->mounted()) return false;
    base_ = root() / "small";
    const fs::path launcherDir = testing::MakeInstallLayout(base_);
    WriteFileBytes(launcherDir / "stringtab.txt", "\xFF\xFE");
    cwd_ = std::make_unique<testing::ScopedCurrentDir>(launcherDir);
    return true;
  }
  void InstallSmall(const Release& files) {
    testing::WriteTree(base_ / "patcher", files);
    WriteFileBytes(base_ / "patcher/server/pid.ini", "[Version]\npid=1\n");
  }
  Release SmallInstalled() const { return testing::ReadTree(base_ / "patcher", "server"); }
  fs::path SmallConfig(std::string_view rel = {}) const { return base_ / "config/patcher" / rel; }
  bool LogMentions(int slot) const {
    const std::string log = ReadFileBytes(SmallConfig("update.log"));
    std::string wanted;
    for (char16_t c : EngineEnv::Msg(slot)) {
      wanted += static_cast<char>(c);
      wanted += '\0';
    }
    return log.find(wanted) != std::string::npos;
  }
  // No partial decompressed files or leftovers beside installed ones.
  void ExpectOnlyWholeFiles(const Release& oldRelease, const Release& newRelease) {
    for (const auto& [path, content] : SmallInstalled()) {
      const bool known = (oldRelease.count(path) && oldRelease.at(path) == content) ||
                         (newRelease.count(path) && newRelease.at(path) == content);
      EXPECT_TRUE(known) << path << " is neither old nor new";
    }
  }

  const Release old_ = {{"main.exe", "old main"}, {"data/a.pak", "old a"}};
  std::unique_ptr<ScopedTmpfs> small_;
  std::unique_ptr<testing::ScopedCurrentDir> cwd_;
  fs::path base_;
};

#define MOUNT_OR_SKIP(bytes) \
  if (!MountSmallInstallation(bytes)) GTEST_SKIP() << "mounting a tmpfs is not permitted here"

TEST_F(DiskTest, FullDuringTheDownloadLosesNothingAndTheNextRunWithRoomCompletes) {
  MOUNT_OR_SKIP(768 << 10);
  const Release release = {{"main.exe", "new main"},
                           {"data/a.pak", testing::NoiseBytes(1500000, 5)}};
  InstallSmall(old_);
  PublishFull(release);
  StartNginx();
  const auto before = testing::SnapshotTree(base_ / "patcher");

  EXPECT_FALSE(RunFullCheckOnce());
  EXPECT_TRUE(StatusShown(MSG_FULL_CHECK_FAILED));
  EXPECT_TRUE(LogMentions(MSG_FULL_CHECK_FAILED)) << "the given-up download made room for the log";
  EXPECT_EQ(testing::DescribeTreeDifference(before, testing::SnapshotTree(base_ / "patcher")), "");
  EXPECT_FALSE(fs::exists(SmallConfig("version.sw")));
  EXPECT_FALSE(fs::exists(SmallConfig("tempfile.dat")));

  ASSERT_TRUE(small_->Resize(16 << 20));
  EXPECT_TRUE(RunFullCheckOnce());
  EXPECT_EQ(SmallInstalled(), release);
  EXPECT_EQ(ReadFileBytes(SmallConfig("version.sw")), "2\r\n");
}

TEST_F(DiskTest, FullDuringDecompressionLeavesNoPartialFile) {
  MOUNT_OR_SKIP(1 << 20);
  // Compresses to almost nothing, decompresses to more than the disk holds.
  const Release release = {{"main.exe", "new main"}, {"data/a.pak", std::string(3 << 20, 'z')}};
  InstallSmall(old_);
  PublishFull(release);
  StartNginx();
  const auto before = testing::SnapshotTree(base_ / "patcher");

  EXPECT_FALSE(RunFullCheckOnce());
  EXPECT_TRUE(StatusShown(MSG_DECOMPRESS_FAILED));
  EXPECT_TRUE(LogMentions(MSG_DECOMPRESS_FAILED)) << "a clear line in the update log";
  EXPECT_EQ(testing::DescribeTreeDifference(before, testing::SnapshotTree(base_ / "patcher")), "");
  for (const auto& [rel, value] : testing::SnapshotTree(SmallConfig("Check"))) {
    EXPECT_EQ(rel.find("a.pak"), std::string::npos) << "partial staged file " << rel;
  }

  ASSERT_TRUE(small_->Resize(16 << 20));
  EXPECT_TRUE(RunFullCheckOnce());
  EXPECT_EQ(SmallInstalled(), release);
}

// The disk fills up the moment the install pass begins: the moves (renames)
// still work, but the version record cannot be written, so the run must not
// report success; the next run with room finds every file current.
TEST_F(DiskTest, FullDuringTheInstallPassIsNotReportedAsSuccess) {
  MOUNT_OR_SKIP(2 << 20);
  const Release release = {{"main.exe", "new main"}, {"data/a.pak", testing::NoiseBytes(50000, 6)}};
  InstallSmall(old_);
  PublishFull(release);
  StartNginx();
  // Every replaced file frees its blocks, so the disk is filled again at
  // each step of the pass, the last one just before the version record.
  bool installing = false;
  int fillers = 0;
  env_.display.SetHook([&](const DisplayCall& call) {
    if (call.kind == DisplayCall::kStatus && call.text == EngineEnv::Msg(MSG_INSTALLING)) {
      installing = true;
    }
    if (installing) FillUp(base_ / ("filler" + std::to_string(++fillers)));
  });
  EXPECT_FALSE(RunFullCheckOnce());
  env_.display.SetHook({});
  EXPECT_FALSE(StatusShown(MSG_FULL_CHECK_DONE));
  ExpectOnlyWholeFiles(old_, release);
  EXPECT_FALSE(fs::exists(SmallConfig("version.sw")));

  for (int i = 1; i <= fillers; ++i) fs::remove(base_ / ("filler" + std::to_string(i)));
  EXPECT_TRUE(RunFullCheckOnce());
  EXPECT_EQ(SmallInstalled(), release);
  EXPECT_EQ(ReadFileBytes(SmallConfig("version.sw")), "2\r\n");
}

TEST_F(DiskTest, ReadOnlyDirectoryAndReadOnlyConfiguration) {
  MOUNT_OR_SKIP(8 << 20);
  const Release oldRelease = {{"main.exe", "old main"}, {"ro/locked.dat", "old locked"}};
  const Release release = {{"main.exe", "new main"}, {"ro/locked.dat", "new locked"}};
  InstallSmall({{"main.exe", "old main"}});
  ScopedTmpfs ro(base_ / "patcher/ro", 1 << 20);
  ASSERT_TRUE(ro.mounted());
  WriteFileBytes(base_ / "patcher/ro/locked.dat", "old locked");
  fs::permissions(base_ / "patcher/ro/locked.dat", fs::perms::owner_read,
                  fs::perm_options::replace);
  ASSERT_TRUE(ro.SetReadOnly(true));
  PublishFull(release);
  StartNginx();

  EXPECT_FALSE(RunFullCheckOnce());
  EXPECT_EQ(ReadFileBytes(base_ / "patcher/ro/locked.dat"), "old locked");
  ExpectOnlyWholeFiles(oldRelease, release);
  EXPECT_FALSE(fs::exists(SmallConfig("version.sw")));
  const std::string errors = ReadFileBytes(SmallConfig("fileerr.log"));
  EXPECT_FALSE(errors.empty()) << "the failed move is in the error log";

  ASSERT_TRUE(ro.SetReadOnly(false));
  EXPECT_TRUE(RunFullCheckOnce());
  EXPECT_EQ(SmallInstalled(), release);

  // A read-only configuration tree: nothing can be fetched, nothing changes.
  InstallSmall(oldRelease);
  fs::remove(SmallConfig("version.sw"));
  const auto before = testing::SnapshotTree(base_ / "patcher");
  ScopedTmpfs config(base_ / "config", 1 << 20);
  ASSERT_TRUE(config.mounted());
  ASSERT_TRUE(config.SetReadOnly(true));
  EXPECT_FALSE(RunFullCheckOnce());
  EXPECT_TRUE(StatusShown(MSG_SERVER_INFO_MISSING));
  EXPECT_EQ(testing::DescribeTreeDifference(before, testing::SnapshotTree(base_ / "patcher")), "");
}

TEST_F(DiskTest, ConfigurationDirectoryThatIsAFile) {
  const Release release = {{"main.exe", "new main"}, {"data/a.pak", "new a"}};
  Install(old_);
  PublishFull(release);
  StartNginx();
  const auto before = PatcherState();
  fs::remove_all(root() / "config");
  WriteFileBytes(root() / "config", "not a directory");

  EXPECT_FALSE(RunFullCheckOnce());
  EXPECT_TRUE(StatusShown(MSG_SERVER_INFO_MISSING));
  ExpectPatcherUnchanged(before);
  EXPECT_EQ(ReadFileBytes(root() / "config"), "not a directory");

  fs::remove(root() / "config");
  EXPECT_TRUE(RunFullCheckOnce()) << "the missing directory is created";
  EXPECT_EQ(Installed(), release);
}

}  // namespace
}  // namespace launcher
