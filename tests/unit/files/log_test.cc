#include "files/log.h"

#include <gtest/gtest.h>

#include "files/file_ops.h"
#include "files/paths.h"
#include "unit/files/log_fixture.h"

namespace launcher {
namespace {

using namespace launcher::testing;
namespace fs = std::filesystem;

using LogTest = InstallTest;
using Lines = std::vector<std::u16string>;

std::string Filler(std::size_t bytes, char c) {
  std::string text = "\xFF\xFE";
  text.resize(bytes, c);
  return text;
}

std::u16string Generation(int n) { return UpdateLogGenerationPath(n); }

TEST(LogTimeStampTest, MonthAndDayWithoutZerosTimeWithTwoDigits) {
  EXPECT_EQ(FormatTimeStamp(2006, 3, 5, 9, 4, 7), u"2006/3/5 09:04:07");
  EXPECT_EQ(FormatTimeStamp(2026, 12, 31, 23, 59, 0), u"2026/12/31 23:59:00");
}

TEST_F(LogTest, LineIsBuiltFromPiecesAndWrittenWithItsTimeStamp) {
  WriteLog(u"Checking ", 0);
  WriteLog(u"data/main.exe", 0);
  EXPECT_FALSE(fs::exists(Config("update.log")));  // pieces stay in memory
  EXPECT_EQ(PendingLogLine, u"Checking data/main.exe");
  WriteLog(std::nullopt, 0);
  EXPECT_TRUE(PendingLogLine.empty());
  WriteLog(std::nullopt, 0);  // nothing pending: a line with only the time stamp
  LogTextWithName(u"Installing ", u"\u00FCber.dat");
  LogText(u"100% done %s");

  Lines lines = LogLines(Config("update.log"));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(WithoutTimeStamp(lines[0]), u"Checking data/main.exe");
  EXPECT_EQ(WithoutTimeStamp(lines[1]), u"");
  EXPECT_EQ(WithoutTimeStamp(lines[2]), u"Installing \u00FCber.dat");
  EXPECT_EQ(WithoutTimeStamp(lines[3]), u"100% done %s");
}

TEST_F(LogTest, LineThatCannotBeWrittenIsDroppedQuietly) {
  fs::create_directory(Config("update.log"));
  WriteLog(u"lost", 0);
  WriteLog(std::nullopt, 0);
  EXPECT_TRUE(PendingLogLine.empty());
  EXPECT_TRUE(fs::is_directory(Config("update.log")));
}

// A fresh installation has no log generations yet: the rotation that a
// missing update log starts copies nothing and reports no failure, so the
// error log stays a signal of real trouble.
TEST_F(LogTest, FirstRunRecordsNoFailedCopyAndStartsAFreshLog) {
  RotateErrorLog();
  EXPECT_EQ(ReadFileBytes(Config("fileerr.log")), "\xFF\xFE");

  WriteLog(std::u16string(69, u'='), 1);
  WriteLog(std::nullopt, 0);

  EXPECT_EQ(ReadFileBytes(Config("fileerr.log")), "\xFF\xFE");
  Lines lines = LogLines(Config("update.log"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(WithoutTimeStamp(lines[0]), std::u16string(69, u'='));
  for (int n = 1; n <= 6; ++n) EXPECT_FALSE(fs::exists(ToPath(Generation(n))));
}

TEST_F(LogTest, UpdateLogRotatesFromExactly300000Bytes) {
  WriteFileBytes(Config("update.log"), Filler(299'999, 'a'));
  WriteLog(u"kept", 1);
  WriteLog(std::nullopt, 0);
  EXPECT_FALSE(fs::exists(Config("update.001")));
  EXPECT_GT(fs::file_size(Config("update.log")), 299'999u);

  std::string full = Filler(300'000, 'b');
  WriteFileBytes(Config("update.log"), full);
  WriteLog(u"fresh", 1);
  EXPECT_EQ(ReadFileBytes(Config("update.log")), "\xFF\xFE");  // restarted before the line
  WriteLog(std::nullopt, 0);
  EXPECT_EQ(ReadFileBytes(Config("update.001")), full);
  Lines lines = LogLines(Config("update.log"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(WithoutTimeStamp(lines[0]), u"fresh");
}

TEST_F(LogTest, RotationShiftsEveryGenerationOneUp) {
  for (int n = 1; n <= 6; ++n) {
    WriteFileBytes(ToPath(Generation(n)), "generation " + std::to_string(n));
  }
  std::string old = Filler(400'000, 'L');
  WriteFileBytes(Config("update.log"), old);
  WriteLog(std::nullopt, 1);

  EXPECT_EQ(ReadFileBytes(Config("update.001")), old);
  for (int n = 2; n <= 6; ++n) {
    EXPECT_EQ(ReadFileBytes(ToPath(Generation(n))), "generation " + std::to_string(n - 1));
  }
  EXPECT_EQ(LogLines(Config("update.log")).size(), 1u);
  EXPECT_FALSE(fs::exists(Config("fileerr.log")));  // no copy failed
}

TEST_F(LogTest, LogWhoseCopyFailedIsKeptInsteadOfRestarted) {
  fs::create_directories(Config("update.001/occupied"));
  std::string old = Filler(300'000, 'k');
  WriteFileBytes(Config("update.log"), old);
  WriteLog(u"after", 1);
  WriteLog(std::nullopt, 0);

  std::string now = ReadFileBytes(Config("update.log"));
  EXPECT_EQ(now.substr(0, old.size()), old);
  Lines errors = LogLines(Config("fileerr.log"));
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(WithoutTimeStamp(errors.back()), u"copy " + UpdateLogPath + u" -> " + Generation(1));
}

TEST_F(LogTest, ErrorLogRotatesAboveOneMillionBytes) {
  std::string limit = Filler(1'000'000, 'e');
  WriteFileBytes(Config("fileerr.log"), limit);
  RotateErrorLog();
  EXPECT_EQ(ReadFileBytes(Config("fileerr.log")), limit);
  EXPECT_FALSE(fs::exists(Config("fileerr.001")));

  std::string over = Filler(1'000'001, 'f');
  WriteFileBytes(Config("fileerr.log"), over);
  RotateErrorLog();
  EXPECT_EQ(ReadFileBytes(Config("fileerr.001")), over);
  EXPECT_EQ(ReadFileBytes(Config("fileerr.log")), "\xFF\xFE");
}

TEST_F(LogTest, ErrorLogIsKeptWhenItsBackupCannotBeWritten) {
  fs::create_directories(Config("fileerr.001/occupied"));
  std::string over = Filler(1'000'001, 'g');
  WriteFileBytes(Config("fileerr.log"), over);
  RotateErrorLog();
  std::string now = ReadFileBytes(Config("fileerr.log"));
  EXPECT_EQ(now.substr(0, over.size()), over);
  EXPECT_GT(now.size(), over.size());  // the failed copy is recorded in it
}

TEST(FormatTwoPathsTest, FillsOnlyTheFirstTwoPercentS) {
  EXPECT_EQ(FormatTwoPaths(u"Moving %s to %s failed", u"a", u"b"), u"Moving a to b failed");
  EXPECT_EQ(FormatTwoPaths(u"%n%s%s%s%n%x%d", u"a", u"b"), u"%nab%s%n%x%d");
  EXPECT_EQ(FormatTwoPaths(u"100%% %%s %s", u"a", u"b"), u"100%% %%s a");
  EXPECT_EQ(FormatTwoPaths(u"no conversion", u"a", u"b"), u"no conversion");
  EXPECT_EQ(FormatTwoPaths(u"only %s", u"a", u"b"), u"only a");
  EXPECT_EQ(FormatTwoPaths(u"trailing %", u"a", u"b"), u"trailing %");
  EXPECT_EQ(FormatTwoPaths(u"", u"a", u"b"), u"");
  // Paths are inserted as they are; their percent signs are not formats.
  EXPECT_EQ(FormatTwoPaths(u"%s|%s", u"%s%n", u"%s"), u"%s%n|%s");
}

TEST(FormatTwoPathsTest, CutsTheMessageTo399UnitsWithoutSplittingAPair) {
  EXPECT_EQ(FormatTwoPaths(std::u16string(1000, u'x'), u"a", u"b"), std::u16string(399, u'x'));
  std::u16string longPath(600, u'p');
  EXPECT_EQ(FormatTwoPaths(u"%s%s", longPath, u"b"), std::u16string(399, u'p'));
  std::u16string pair = u"\U0001F600";
  EXPECT_EQ(FormatTwoPaths(std::u16string(398, u'y') + pair, u"", u""), std::u16string(398, u'y'));
  EXPECT_EQ(FormatTwoPaths(std::u16string(397, u'y') + pair, u"", u""),
            std::u16string(397, u'y') + pair);
}

TEST_F(LogTest, HostileFormatInTheStringTableIsWrittenLiterally) {
  g_messages[MSG_MOVE_FAILED] = u"%n%s%s%s%n%x";
  g_messages[MSG_COPY_FAILED] = std::u16string(5000, u'%') + u"s";
  MoveFileLogged(u"missing-a", u"missing-b");
  CopyFileLogged(u"missing-a", u"missing-b", 0);
  g_messages[MSG_MOVE_FAILED].clear();
  MoveFileLogged(u"missing-a", u"missing-b");

  Lines errors = LogLines(Config("fileerr.log"));
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(WithoutTimeStamp(errors[0]), u"%nmissing-amissing-b%s%n%x");
  EXPECT_EQ(WithoutTimeStamp(errors[1]), std::u16string(399, u'%'));
  EXPECT_EQ(WithoutTimeStamp(errors[2]), u"");
}

TEST_F(LogTest, ClosedWindowEndsTheWorkerBeforeALogLineIsWritten) {
  WriteLog(u"pending", 0);  // appending needs no check point
  RunCloseHandshake();
  EXPECT_THROW(WriteLog(std::nullopt, 0), WorkerCancelled);
  EXPECT_THROW(LogFileOperationFailure(MSG_COPY_FAILED, u"a", u"b"), WorkerCancelled);
  EXPECT_FALSE(fs::exists(Config("update.log")));
  EXPECT_FALSE(fs::exists(Config("fileerr.log")));
  EXPECT_EQ(WorkInProgress.load(), 0);
}

}  // namespace
}  // namespace launcher
