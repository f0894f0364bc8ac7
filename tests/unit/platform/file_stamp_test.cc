// The file stamp: what changes it and what it refuses.
#include "platform/file_stamp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

namespace launcher {
namespace {

namespace fs = std::filesystem;

void Write(const fs::path& path, const char* text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(FileStampTest, StampFollowsSizeTimesAndIdentityOfARegularFile) {
  const fs::path dir = fs::temp_directory_path() / ("stamp-" + std::to_string(FileClockNowNs()));
  fs::create_directories(dir);
  const fs::path file = dir / "a.bin";
  Write(file, "12345");
  FileStamp first;
  ASSERT_TRUE(ReadFileStamp(file, first));
  EXPECT_EQ(first.size, 5u);
  FileStamp again;
  ASSERT_TRUE(ReadFileStamp(file, again));
  EXPECT_EQ(again, first);
  // The file clock and the stamps agree to within a minute.
  EXPECT_LT(std::abs(FileClockNowNs() - first.modifiedNs), std::int64_t{60} * 1000000000);

  // Two modification times set two hours apart are stamped two hours apart.
  const auto when = fs::last_write_time(file);
  fs::last_write_time(file, when - std::chrono::hours(1));
  FileStamp later;
  ASSERT_TRUE(ReadFileStamp(file, later));
  fs::last_write_time(file, when - std::chrono::hours(3));
  FileStamp older;
  ASSERT_TRUE(ReadFileStamp(file, older));
  EXPECT_EQ(later.modifiedNs - older.modifiedNs, std::int64_t{7200} * 1000000000);

  Write(dir / "b.bin", "12345");
  fs::rename(dir / "b.bin", file);
  FileStamp replaced;
  ASSERT_TRUE(ReadFileStamp(file, replaced));
  EXPECT_NE(replaced.fileId, first.fileId);
  EXPECT_EQ(replaced.volumeId, first.volumeId);

  EXPECT_FALSE(ReadFileStamp(dir / "missing", again));
  EXPECT_FALSE(ReadFileStamp(dir, again));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace launcher
