#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace launcher {
namespace {

using testing::TempDir;
using testing::WriteFileBytes;

class IniFileTest : public ::testing::Test {
 protected:
  int Read(std::string_view content, std::string_view section = "Version",
           std::string_view key = "pid", int defaultValue = 1) {
    WriteFileBytes(path_, content);
    return ReadIniInt(path_, section, key, defaultValue);
  }

  TempDir dir_;
  std::filesystem::path path_ = dir_ / "pid.ini";
};

TEST_F(IniFileTest, FindsKeyInSectionIgnoringCaseAndWhiteSpace) {
  EXPECT_EQ(Read("[Version]\r\npid=7\r\n"), 7);
  EXPECT_EQ(Read("; comment\n[other]\npid=3\n  [ version ]  \n  PID  =  42  \n"), 42);
  EXPECT_EQ(Read("[Version]\nname=x\npid=-5\n[Next]\npid=9"), -5);
  EXPECT_EQ(Read("[Version]\npid=12abc\n"), 12);
  EXPECT_EQ(Read("[Version]\npid=\"8\"\n"), 8);
  // A key of the same name in another section does not count.
  EXPECT_EQ(Read("[Other]\npid=4\n[Version]\nfoo=1\n"), 1);
}

TEST_F(IniFileTest, FirstSectionThatHoldsTheKeyWins) {
  EXPECT_EQ(Read("[Version]\npid=2\npid=3\n[Version]\npid=4\n"), 2);
#ifndef _WIN32
  // The system's function on Windows looks only in the first section of a
  // name (so Wine does); the patcher reads the file with it there.
  EXPECT_EQ(Read("[Version]\nx=1\n[Version]\npid=4\n"), 4);
#endif
}

TEST_F(IniFileTest, DefaultWhenFileSectionKeyOrValueIsMissing) {
  EXPECT_EQ(ReadIniInt(dir_ / "missing.ini", "Version", "pid", 17), 17);
  EXPECT_EQ(ReadIniInt(dir_.path(), "Version", "pid", 17), 17);  // a directory
  EXPECT_EQ(Read("", "Version", "pid", 17), 17);
  EXPECT_EQ(Read("[Versions]\npid=3\n", "Version", "pid", 17), 17);
  EXPECT_EQ(Read("pid=3\n", "Version", "pid", 17), 17);  // outside any section
  EXPECT_EQ(Read("[Version]\npid\n", "Version", "pid", 17), 17);
  EXPECT_EQ(Read("[Version]\npid=   \n", "Version", "pid", 17), 17);
  EXPECT_EQ(Read("[Version]\npid=\"\"\n", "Version", "pid", 17), 17);
}

TEST_F(IniFileTest, ValueWithoutDigitsGivesZero) {
  EXPECT_EQ(Read("[Version]\npid=abc\n", "Version", "pid", 17), 0);
  EXPECT_EQ(Read("[Version]\npid=-\n", "Version", "pid", 17), 0);
}

TEST_F(IniFileTest, OutOfRangeValuesAreHeldAtTheBounds) {
  EXPECT_EQ(Read("[Version]\npid=-2147483648\n"), -2147483647 - 1);
#ifndef _WIN32
  // Beyond the range the system's function on Windows wraps (so Wine does).
  EXPECT_EQ(Read("[Version]\npid=99999999999\n"), 2147483647);
  EXPECT_EQ(Read("[Version]\npid=-99999999999999999999999\n"), -2147483647 - 1);
#endif
}

TEST_F(IniFileTest, ByteOrderMarksAreUnderstood) {
  EXPECT_EQ(Read("\xEF\xBB\xBF[Version]\npid=5\n"), 5);
  std::string utf16 = "\xFF\xFE";
  for (char c : std::string_view("[Version]\r\npid=6\r\n")) {
    utf16.push_back(c);
    utf16.push_back('\0');
  }
  EXPECT_EQ(Read(utf16), 6);
}

}  // namespace
}  // namespace launcher
