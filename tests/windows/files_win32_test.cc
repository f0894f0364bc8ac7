// The engine's file operations against the Windows file system (under Wine
// in this repository's runs): replacing a read-only or open file, another
// process's handle that briefly holds a file (the retry), UTF-16 names
// outside the ANSI code page and paths past the 260-unit limit.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "files/file_ops.h"
#include "files/regular_file.h"
#include "files/replace_file.h"
#include "files/utf16.h"
#include "platform/long_path.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"
#include "update/directories.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::FakeClock;
using testing::ReadFileBytes;
using testing::ScopedCurrentDir;
using testing::ScopedEngineClock;
using testing::TempDir;
using testing::WriteFileBytes;

std::u16string U16(const fs::path& path) {
  const std::wstring wide = path.wstring();
  return std::u16string(wide.begin(), wide.end());
}

// A handle such as a virus scanner holds: reading, by default sharing reads
// only, so that the file can be neither renamed over, moved nor deleted
// meanwhile. (An open target cannot be renamed over whatever it shares.)
class ExclusiveReader {
 public:
  explicit ExclusiveReader(const fs::path& path, DWORD share = FILE_SHARE_READ)
      : handle_(::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~ExclusiveReader() { Release(); }
  bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
  void Release() {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  // Lets go after `ms` on a thread of its own.
  std::thread ReleaseAfter(int ms) {
    return std::thread([this, ms] {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      Release();
    });
  }

 private:
  HANDLE handle_;
};

TEST(WindowsFilesTest, ReadOnlyTargetsAreReplacedAndDeleted) {
  TempDir dir;
  const fs::path target = dir / "patcher.dat";
  WriteFileBytes(target, "old");
  ASSERT_NE(::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY), 0);
  ASSERT_TRUE(ReplaceFileContents(target, "new", Durability::kDurable));
  EXPECT_EQ(ReadFileBytes(target), "new");

  ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(DeleteFileForced(U16(target)), 1);
  EXPECT_FALSE(fs::exists(target));
}

TEST(WindowsFilesTest, ASharingViolationIsWaitedOutOnReplaceMoveAndDelete) {
  TempDir dir;
  const fs::path target = dir / "held.bin";
  WriteFileBytes(target, "old");
  for (DWORD share : {DWORD{FILE_SHARE_READ}, DWORD{FILE_SHARE_READ | FILE_SHARE_DELETE}}) {
    ExclusiveReader scanner(target, share);
    ASSERT_TRUE(scanner.ok());
    std::thread release = scanner.ReleaseAfter(300);
    EXPECT_TRUE(ReplaceFileContents(target, "new", Durability::kDurable)) << share;
    release.join();
    EXPECT_EQ(ReadFileBytes(target), "new");
    WriteFileBytes(target, "old");
  }
  WriteFileBytes(target, "new");

  const fs::path moved = dir / "moved.bin";
  {
    ExclusiveReader scanner(target);
    ASSERT_TRUE(scanner.ok());
    std::thread release = scanner.ReleaseAfter(300);
    EXPECT_TRUE(MoveFileLogged(U16(target), U16(moved)));
    release.join();
  }
  EXPECT_EQ(ReadFileBytes(moved), "new");
  {
    ExclusiveReader scanner(moved);
    ASSERT_TRUE(scanner.ok());
    std::thread release = scanner.ReleaseAfter(300);
    EXPECT_EQ(DeleteFileForced(U16(moved)), 1);
    release.join();
  }
  EXPECT_FALSE(fs::exists(moved));
}

TEST(WindowsFilesTest, AHandleThatIsNeverReleasedFailsTheReplaceAndKeepsTheFile) {
  TempDir dir;
  const fs::path target = dir / "held.bin";
  WriteFileBytes(target, "old");
  ExclusiveReader scanner(target);
  ASSERT_TRUE(scanner.ok());
  FakeClock clock;
  ScopedEngineClock useClock(&clock);
  EXPECT_FALSE(ReplaceFileContents(target, "new", Durability::kDurable));
  EXPECT_EQ(DeleteFileForced(U16(target)), 0);
  // A few seconds of retries in simulated time, then the failure.
  EXPECT_GE(clock.TotalSleptMs(), 2u * 4000u);
  EXPECT_LE(clock.TotalSleptMs(), 2u * 6000u);
  scanner.Release();
  EXPECT_EQ(ReadFileBytes(target), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

// The clean-up after each installed file climbs through every parent of the
// staged file up to the game's folder, which a player's prompt or Explorer
// window holds open (without sharing deletion). One that still holds files
// cannot go however long one waits; an empty one held for a moment can.
TEST(WindowsFilesTest, AHeldDirectoryIsWaitedForOnlyWhenItCouldGo) {
  TempDir dir;
  const fs::path root = dir / "game";
  fs::create_directories(root / "config" / "Check" / "data");
  fs::create_directories(root / "launcher");
  fs::create_directories(root / "empty");
  WriteFileBytes(root / "config" / "kept.txt", "kept");
  auto hold = [](const fs::path& path) {
    return ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  };
  HANDLE held[3] = {hold(root), hold(root / "config"), hold(root / "empty")};
  for (HANDLE h : held) ASSERT_NE(h, INVALID_HANDLE_VALUE);
  {
    ScopedCurrentDir inLauncher(root / "launcher");  // as the engine names it
    FakeClock clock;
    ScopedEngineClock useClock(&clock);
    RemoveEmptyParentDirectories(u"../config/Check/data/big.bin");
    EXPECT_EQ(clock.TotalSleptMs(), 0u) << "waited for directories that hold files";
  }
  EXPECT_FALSE(fs::exists(root / "config" / "Check")) << "the empty ones went";
  EXPECT_TRUE(fs::exists(root / "config" / "kept.txt"));
  std::thread release([&held] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (HANDLE h : held) ::CloseHandle(h);
  });
  RemoveEmptyParentDirectories(U16(root / "empty" / "x"));
  release.join();
  EXPECT_FALSE(fs::exists(root / "empty"));
}

TEST(WindowsFilesTest, NamesOutsideTheCodePageAndPathsPastTheOldLimit) {
  TempDir dir;
  std::u16string deep = U16(dir.path()) + u"\\";
  for (int i = 0; i < 12; ++i)
    deep += u"\u0444\u0430\u0439\u043B-\u6587\u4EF6-directory-" +
            std::u16string(1, static_cast<char16_t>(u'a' + i)) + u"\\";
  const std::u16string file = deep + u"\u00E9t\u00E9-\U0001F600.txt";
  ASSERT_GT(file.size(), 280u);
  CreateParentDirectories(file);
  ASSERT_TRUE(ReplaceFileContents(ToPath(file), "deep", Durability::kDurable));
  EXPECT_EQ(QueryFileSize(file), 4);
  {
    RegularFile reader(file);
    ASSERT_TRUE(reader.is_open());
    char buffer[8] = {};
    EXPECT_EQ(reader.ReadFull(buffer, sizeof buffer), 4);
  }
  EXPECT_TRUE(IsRegularFileNoFollow(file));
  const std::u16string copy = deep + u"copy.txt";
  EXPECT_TRUE(CopyFileLogged(file, copy, 0));
  EXPECT_TRUE(MoveFileLogged(copy, deep + u"moved.txt"));
  EXPECT_EQ(QueryFileSize(deep + u"moved.txt"), 4);
  EXPECT_EQ(DeleteFileForced(file), 1);
  EXPECT_EQ(DeleteFileForced(deep + u"moved.txt"), 1);
  // Every emptied directory goes. The walk goes on above the test's own
  // directory; a file there stops it, or it would take the system's
  // temporary directory with it when no other test has files in it.
  WriteFileBytes(dir / "stays.txt", "");
  RemoveEmptyParentDirectories(file);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

// Names are resolved by themselves alone: the system's own clean-up would
// shorten "..." to ".." and so climb a directory. (The test's own reads go
// through the engine's calls for the same reason.)
TEST(WindowsFilesTest, NamesKeepTheirFinalDots) {
  TempDir dir;
  fs::create_directories(dir / "a");
  testing::ScopedCurrentDir cwd(dir / "a");
  const std::u16string relative = u"x/.../y.txt";
  const std::u16string absolute = U16(fs::current_path()) + u"\\x\\...\\y.txt";
  EXPECT_EQ(LongPath(ToPath(relative)), L"\\\\?\\" + ToPath(absolute).wstring());
  EXPECT_EQ(LongPath(ToPath(absolute)), L"\\\\?\\" + ToPath(absolute).wstring());
  CreateParentDirectories(relative);
  ASSERT_TRUE(ReplaceFileContents(ToPath(relative), "kept", Durability::kDurable));
  EXPECT_EQ(QueryFileSize(absolute), 4);
  EXPECT_FALSE(fs::exists(dir / "a" / "y.txt"));
  EXPECT_EQ(DeleteFileForced(relative), 1);
  RemoveEmptyParentDirectories(relative);
  EXPECT_FALSE(fs::exists(dir / "a" / "x"));
}

}  // namespace
}  // namespace launcher
