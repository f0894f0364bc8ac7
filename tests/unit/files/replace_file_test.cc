#include "files/replace_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace launcher {
namespace {

using namespace launcher::testing;

class ReplaceFileTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

std::vector<std::string> DirectoryEntries(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

TEST_F(ReplaceFileTest, SwapsInTheNewContentAndLeavesNoTemporaryFile) {
  const std::filesystem::path path = dir_ / "ustate.sw";
  WriteFileBytes(path, "old state that is longer");
  chmod((dir_ / "ustate.sw").c_str(), 0444);
  ASSERT_TRUE(ReplaceFileContents(path, "3 1024\n", Durability::kDurable));
  EXPECT_EQ(ReadFileBytes(dir_ / "ustate.sw"), "3 1024\n");
  ASSERT_TRUE(ReplaceFileContents(dir_ / "new.sw", std::string("\0a", 2), Durability::kSyncData));
  EXPECT_EQ(ReadFileBytes(dir_ / "new.sw"), std::string("\0a", 2));
  ASSERT_TRUE(ReplaceFileContents(path, "", Durability::kAtomic));
  EXPECT_EQ(ReadFileBytes(dir_ / "ustate.sw"), "");
  EXPECT_EQ(DirectoryEntries(dir_.path()).size(), 2u);
}

TEST_F(ReplaceFileTest, FailureLeavesTheOldFileAndNoTemporaryFile) {
  std::filesystem::create_directory(dir_ / "occupied");
  WriteFileBytes(dir_ / "occupied/inner", "x");
  EXPECT_FALSE(ReplaceFileContents(dir_ / "occupied", "data", Durability::kDurable));
  EXPECT_EQ(ReadFileBytes(dir_ / "occupied/inner"), "x");
  EXPECT_FALSE(ReplaceFileContents(dir_ / "no-dir/state.sw", "data", Durability::kAtomic));
  EXPECT_EQ(DirectoryEntries(dir_.path()), std::vector<std::string>{"occupied"});
}

}  // namespace
}  // namespace launcher
