#include "files/file_ops.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "platform/native_file.h"
#include "unit/files/log_fixture.h"

namespace launcher {
namespace {

using namespace launcher::testing;
namespace fs = std::filesystem;

class FileOpsTest : public InstallTest {
 protected:
  // The names as the engine passes them, relative to the working directory.
  static std::u16string Name(std::string_view relative) { return Config(relative).u16string(); }
  static std::u16string ErrorLine(std::u16string_view op, std::string_view from,
                                  std::string_view to) {
    return std::u16string(op) + u" " + Name(from) + u" -> " + Name(to);
  }
  static unsigned Mode(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0);
    return info.st_mode & 07777u;
  }
  // Files of a directory, to see that no temporary copy was left behind.
  static std::size_t EntryCount(const fs::path& dir) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
  }
  std::vector<std::u16string> ErrorLines() {
    if (!fs::exists(Config("fileerr.log"))) return {};
    std::vector<std::u16string> lines;
    for (const std::u16string& line : LogLines(Config("fileerr.log"))) {
      lines.push_back(WithoutTimeStamp(line));
    }
    return lines;
  }
};

TEST_F(FileOpsTest, MoveRenamesAndMakesTheFileWritable) {
  WriteFileBytes(Config("temp/a.dat"), "payload");
  chmod(Config("temp/a.dat").c_str(), 0444);
  EXPECT_TRUE(MoveFileLogged(Name("temp/a.dat"), Name("b.dat")));
  EXPECT_FALSE(fs::exists(Config("temp/a.dat")));
  EXPECT_EQ(ReadFileBytes(Config("b.dat")), "payload");
  EXPECT_EQ(Mode(Config("b.dat")), 0644u);
  EXPECT_TRUE(ErrorLines().empty());
}

TEST_F(FileOpsTest, MoveOntoAnExistingTargetFailsAndChangesNothing) {
  WriteFileBytes(Config("new.dat"), "new");
  WriteFileBytes(Config("old.dat"), "old");
  chmod(Config("old.dat").c_str(), 0444);
  EXPECT_FALSE(MoveFileLogged(Name("new.dat"), Name("old.dat")));
  EXPECT_EQ(ReadFileBytes(Config("new.dat")), "new");
  EXPECT_EQ(ReadFileBytes(Config("old.dat")), "old");

  EXPECT_FALSE(MoveFileLogged(Name("missing.dat"), Name("other.dat")));
  EXPECT_FALSE(fs::exists(Config("other.dat")));
  EXPECT_EQ(ErrorLines(),
            (std::vector<std::u16string>{ErrorLine(u"move", "new.dat", "old.dat"),
                                         ErrorLine(u"move", "missing.dat", "other.dat")}));
}

TEST_F(FileOpsTest, MoveWithoutKernelNoReplaceStillNeverReplaces) {
  SimulateRenameNoReplaceUnsupportedForTesting(true);
  WriteFileBytes(Config("a.dat"), "a");
  WriteFileBytes(Config("b.dat"), "b");
  bool ontoExisting = MoveFileLogged(Name("a.dat"), Name("b.dat"));
  bool toFreeName = MoveFileLogged(Name("a.dat"), Name("c.dat"));
  fs::create_directories(Config("dir/inner"));  // no hard links for directories
  bool directory = MoveFileLogged(Name("dir"), Name("moved-dir"));
  bool directoryOntoFile = MoveFileLogged(Name("moved-dir"), Name("b.dat"));
  SimulateRenameNoReplaceUnsupportedForTesting(false);

  EXPECT_FALSE(ontoExisting);
  EXPECT_TRUE(toFreeName);
  EXPECT_TRUE(directory);
  EXPECT_FALSE(directoryOntoFile);
  EXPECT_FALSE(fs::exists(Config("a.dat")));
  EXPECT_EQ(ReadFileBytes(Config("b.dat")), "b");
  EXPECT_EQ(ReadFileBytes(Config("c.dat")), "a");
  EXPECT_TRUE(fs::is_directory(Config("moved-dir/inner")));
  EXPECT_EQ(ErrorLines().size(), 2u);
}

TEST_F(FileOpsTest, MoveBetweenFileSystemsCopiesThenRemovesTheSource) {
  fs::path shm = "/dev/shm";
  struct stat here {
  }, there{};
  if (stat(".", &here) != 0 || stat(shm.c_str(), &there) != 0 || here.st_dev == there.st_dev) {
    GTEST_SKIP() << "no second file system at " << shm;
  }
  fs::path source = shm / ("launcher-move-" + std::to_string(getpid()));
  WriteFileBytes(source, std::string(100'000, 'm'));
  chmod(source.c_str(), 0640);
  EXPECT_TRUE(MoveFileLogged(source.u16string(), Name("moved.dat")));
  EXPECT_FALSE(fs::exists(source));
  EXPECT_EQ(ReadFileBytes(Config("moved.dat")), std::string(100'000, 'm'));
  EXPECT_EQ(Mode(Config("moved.dat")), 0640u);

  WriteFileBytes(source, "second");
  EXPECT_FALSE(MoveFileLogged(source.u16string(), Name("moved.dat")));
  EXPECT_EQ(ReadFileBytes(source), "second");
  EXPECT_EQ(ReadFileBytes(Config("moved.dat")), std::string(100'000, 'm'));
  EXPECT_EQ(EntryCount(Config("")), 2u);  // moved.dat and fileerr.log: no temporary copy left
  fs::remove(source);
}

TEST_F(FileOpsTest, CopyReplacesAReadOnlyTargetAndKeepsTheSource) {
  WriteFileBytes(Config("src.dat"), std::string(70'000, 's'));
  chmod(Config("src.dat").c_str(), 0640);
  WriteFileBytes(Config("dst.dat"), "old");
  chmod(Config("dst.dat").c_str(), 0444);
  std::size_t before = EntryCount(Config(""));
  EXPECT_TRUE(CopyFileLogged(Name("src.dat"), Name("dst.dat"), 0));
  EXPECT_EQ(ReadFileBytes(Config("dst.dat")), std::string(70'000, 's'));
  EXPECT_EQ(ReadFileBytes(Config("src.dat")), std::string(70'000, 's'));
  EXPECT_EQ(Mode(Config("dst.dat")), 0640u);
  EXPECT_EQ(EntryCount(Config("")), before);
  EXPECT_TRUE(CopyFileLogged(Name("src.dat"), Name("fresh.dat"), 0));
  EXPECT_EQ(fs::file_size(Config("fresh.dat")), 70'000u);
  EXPECT_TRUE(ErrorLines().empty());
}

TEST_F(FileOpsTest, FailedCopyLeavesTheTargetAsItWas) {
  WriteFileBytes(Config("src.dat"), "source");
  WriteFileBytes(Config("dst.dat"), "target");
  EXPECT_FALSE(CopyFileLogged(Name("src.dat"), Name("dst.dat"), 1));  // fail if it exists
  EXPECT_FALSE(CopyFileLogged(Name("missing.dat"), Name("dst.dat"), 0));
  fs::create_directory(Config("dir"));
  EXPECT_FALSE(CopyFileLogged(Name("dir"), Name("dir-copy"), 0));
  EXPECT_FALSE(CopyFileLogged(Name("src.dat"), Name("dir"), 0));
  EXPECT_FALSE(CopyFileLogged(Name("src.dat"), Name("no/such/dir.dat"), 0));

  EXPECT_EQ(ReadFileBytes(Config("dst.dat")), "target");
  EXPECT_FALSE(fs::exists(Config("dir-copy")));
  EXPECT_TRUE(fs::is_directory(Config("dir")));
  EXPECT_EQ(EntryCount(Config("dir")), 0u);
  EXPECT_EQ(
      ErrorLines(),
      (std::vector<std::u16string>{
          ErrorLine(u"copy", "src.dat", "dst.dat"), ErrorLine(u"copy", "missing.dat", "dst.dat"),
          ErrorLine(u"copy", "dir", "dir-copy"), ErrorLine(u"copy", "src.dat", "dir"),
          ErrorLine(u"copy", "src.dat", "no/such/dir.dat")}));
}

TEST_F(FileOpsTest, CopyThatBreaksOffHalfWayLeavesTheOldTarget) {
  // A file size limit makes the write fail after the first 64 KiB, as a full
  // disk would.
  WriteFileBytes(Config("big.dat"), std::string(300'000, 'b'));
  WriteFileBytes(Config("dst.dat"), "previous generation");
  RotateErrorLog();
  std::size_t before = EntryCount(Config(""));
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = saved;
  limited.rlim_cur = 65'536;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  bool copied = CopyFileLogged(Name("big.dat"), Name("dst.dat"), 0);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previousHandler);

  EXPECT_FALSE(copied);
  EXPECT_EQ(ReadFileBytes(Config("dst.dat")), "previous generation");
  EXPECT_EQ(EntryCount(Config("")), before);
  EXPECT_EQ(ErrorLines(), std::vector<std::u16string>{ErrorLine(u"copy", "big.dat", "dst.dat")});
}

TEST_F(FileOpsTest, DeleteForcedRemovesReadOnlyFilesOnly) {
  WriteFileBytes(Config("ro.dat"), "x");
  chmod(Config("ro.dat").c_str(), 0444);
  EXPECT_NE(DeleteFileForced(Name("ro.dat")), 0);
  EXPECT_FALSE(fs::exists(Config("ro.dat")));
  EXPECT_EQ(DeleteFileForced(Name("ro.dat")), 0);
  fs::create_directory(Config("dir"));
  EXPECT_EQ(DeleteFileForced(Name("dir")), 0);
  EXPECT_TRUE(fs::is_directory(Config("dir")));
}

TEST_F(FileOpsTest, QueryFileSizeIs64BitAndMinusOneForWhatCannotBeOpened) {
  WriteFileBytes(Config("empty.dat"), "");
  EXPECT_EQ(QueryFileSize(Name("empty.dat")), 0);
  WriteFileBytes(Config("small.dat"), "12345");
  chmod(Config("small.dat").c_str(), 0444);
  EXPECT_EQ(QueryFileSize(Name("small.dat")), 5);
  int fd = open(Config("sparse.dat").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 5'000'000'000), 0);
  close(fd);
  EXPECT_EQ(QueryFileSize(Name("sparse.dat")), 5'000'000'000);
  EXPECT_EQ(QueryFileSize(Name("missing.dat")), -1);
  fs::create_directory(Config("temp"));
  EXPECT_EQ(QueryFileSize(Name("temp")), -1);  // a directory
}

TEST_F(FileOpsTest, ClearingAttributesAddsOwnerWriteAndIgnoresMissingFiles) {
  WriteFileBytes(Config("ro.dat"), "x");
  chmod(Config("ro.dat").c_str(), 0404);
  ClearFileAttributes(Name("ro.dat"));
  EXPECT_EQ(Mode(Config("ro.dat")), 0604u);
  ClearFileAttributes(Name("missing.dat"));
  EXPECT_FALSE(fs::exists(Config("missing.dat")));
}

}  // namespace
}  // namespace launcher
