// The file system that cuts the power (support/power_cut_fs.h): each model
// loses what it should (or, in the third, may write it back) and keeps what
// was flushed, the cut refuses every
// change from the chosen event on, a syncfs is seen through the preloaded
// notice, and the engine's own bulk writes (O_DIRECT) work on it and count
// as unflushed until synced.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <set>
#include <string>

#include "platform/native_file.h"
#include "support/power_cut_fs.h"
#include "support/publish_fixture.h"
#include "support/temp_dir.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;
using Model = PowerCutFs::Model;

class PowerCutFsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = PowerCutFs::Unavailable();
    if (!why.empty()) GTEST_SKIP() << "no FUSE here, so no power cuts: " << why;
    fs::create_directories(dir_ / "backing" / "d");
    fs::create_directories(dir_ / "mnt");
    WriteFileBytes(dir_ / "backing" / "d" / "old.txt", "old content");
    fs_ = std::make_unique<PowerCutFs>(dir_ / "backing", dir_ / "mnt");
    ASSERT_TRUE(fs_->ok()) << fs_->problem();
  }

  fs::path On(const std::string& rel) const { return dir_ / "mnt" / rel; }
  // Writes `bytes` into a new file on the mount, synced or not.
  void Create(const std::string& rel, const std::string& bytes, bool sync) {
    const int fd = ::open(On(rel).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << rel;
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    if (sync) {
      ASSERT_EQ(::fdatasync(fd), 0);
    }
    ::close(fd);
  }
  void SyncDir(const std::string& rel) {
    const int fd = ::open(On(rel).c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::fsync(fd), 0);
    ::close(fd);
  }
  // The files of a crash state written under `model`: path -> content.
  std::map<std::string, std::string> Crash(Model model, unsigned seed = 0) {
    const fs::path state = dir_ / ("crash-" + std::to_string(++states_));
    fs_->WriteCrashState(state, model, seed);
    return TreeBytes(state);
  }

  TempDir dir_;
  std::unique_ptr<PowerCutFs> fs_;
  int states_ = 0;
};

TEST_F(PowerCutFsTest, UnflushedDataIsLostFlushedDataKept) {
  Create("d/old.txt", "rewritten, never synced", false);
  Create("d/never.bin", "abc", false);
  Create("d/synced.bin", "kept", true);
  {
    const int fd = ::open(On("d/synced.bin").c_str(), O_WRONLY | O_APPEND);
    ASSERT_EQ(::write(fd, " and more", 9), 9);
    ::close(fd);
  }
  ASSERT_EQ(::rename(On("d/synced.bin").c_str(), On("d/moved.bin").c_str()), 0);
  // The engine's bulk writes: past the page cache where it can, otherwise
  // through it. Either way only the sync makes them durable.
  for (const bool sync : {false, true}) {
    NativeFile file;
    bool exists = false;
    const std::string name = sync ? "d/bulk-synced.bin" : "d/bulk.bin";
    ASSERT_TRUE(file.CreateNew(On(name), 0644, exists));
    alignas(4096) static char block[8192];
    std::fill(std::begin(block), std::end(block), 'b');
    ASSERT_TRUE(file.WriteBulk(block, sizeof block));
    ASSERT_TRUE(file.Write("tail", 4));
    if (sync) {
      ASSERT_TRUE(file.SyncData());
    }
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(ReadFileBytes(On(name)).size(), 8196u);
  }
  fs_->CutNow();
  fs_->Unmount();

  const auto state = Crash(Model::kLoseUnflushedData);
  EXPECT_EQ(state.at("d/old.txt"), "old content");
  EXPECT_EQ(state.at("d/never.bin"), std::string(3, '\0'));
  EXPECT_EQ(state.at("d/moved.bin"), "kept");  // names are kept in this model
  EXPECT_FALSE(state.count("d/synced.bin"));
  EXPECT_EQ(state.at("d/bulk.bin"), std::string(8196, '\0'));
  EXPECT_EQ(state.at("d/bulk-synced.bin"), std::string(8192, 'b') + "tail");

  // Model 3: each file's data may also have been written back whole.
  std::set<std::string> seen;
  for (unsigned seed = 0; seed < 20; ++seed) {
    const auto written = Crash(Model::kWriteBackSome, seed);
    if (written.count("d/never.bin")) seen.insert(written.at("d/never.bin"));
    if (written.count("d/old.txt")) seen.insert(written.at("d/old.txt"));
  }
  EXPECT_EQ(seen, (std::set<std::string>{std::string(3, '\0'), "abc", "old content",
                                         "rewritten, never synced"}));
}

TEST_F(PowerCutFsTest, NamesAfterTheLastDirectoryFlushMayBeUndoneInOrder) {
  Create("d/a", "A", true);
  ASSERT_EQ(::rename(On("d/a").c_str(), On("d/b").c_str()), 0);
  Create("d/c", "C", true);
  fs_->Unmount();
  // Every state is a prefix of create a, rename a b, create c.
  std::set<std::string> seen;
  for (unsigned seed = 0; seed < 40; ++seed) {
    std::string names;
    for (const auto& [path, content] : Crash(Model::kLoseMetadataSuffix, seed)) names += path + ";";
    seen.insert(names);
  }
  EXPECT_EQ(seen, (std::set<std::string>{"d/old.txt;", "d/a;d/old.txt;", "d/b;d/old.txt;",
                                         "d/b;d/c;d/old.txt;"}));
}

TEST_F(PowerCutFsTest, ADirectoryFlushKeepsEveryEarlierName) {
  Create("d/a", "A", true);
  ASSERT_EQ(::mkdir(On("e").c_str(), 0755), 0);
  ASSERT_EQ(::rename(On("d/a").c_str(), On("e/b").c_str()), 0);
  SyncDir("e");
  ASSERT_EQ(::unlink(On("d/old.txt").c_str()), 0);
  fs_->Unmount();
  for (unsigned seed = 0; seed < 20; ++seed) {
    const auto state = Crash(Model::kLoseMetadataSuffix, seed);
    EXPECT_EQ(state.at("e/b"), "A") << seed;
    EXPECT_FALSE(state.count("d/a")) << seed;
  }
}

TEST_F(PowerCutFsTest, TheCutRefusesEveryChangeFromTheChosenEventOn) {
  Create("d/x", "synced by syncfs", false);
  // syncfs is invisible to FUSE; the preloaded notice reports it.
  const ProcessResult synced = RunProcess(
      "/usr/bin/env",
      {std::string("LD_PRELOAD=") + SYNCFS_NOTICE_LIBRARY, "sync", "-f", On("d/x").string()});
  ASSERT_EQ(synced.status, 0) << synced.err;
  EXPECT_EQ(fs_->events(), 1);
  fs_->CutAtEvent(3);
  Create("d/y", "first event", true);  // event 2
  EXPECT_FALSE(fs_->power_cut());
  EXPECT_NE(::rename(On("d/y").c_str(), On("d/z").c_str()), 0);  // event 3: the cut
  EXPECT_EQ(errno, EIO);
  EXPECT_TRUE(fs_->power_cut());
  EXPECT_LT(::open(On("d/w").c_str(), O_WRONLY | O_CREAT, 0644), 0);
  EXPECT_EQ(ReadFileBytes(On("d/y")), "first event");  // reading goes on
  fs_->Unmount();
  const auto state = Crash(Model::kLoseUnflushedData);
  EXPECT_EQ(state.at("d/x"), "synced by syncfs");
  EXPECT_EQ(state.at("d/y"), "first event");
  EXPECT_FALSE(state.count("d/z"));
  EXPECT_FALSE(state.count("d/w"));
}

}  // namespace
}  // namespace launcher::testing
