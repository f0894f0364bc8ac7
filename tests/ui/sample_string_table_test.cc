// The sample string tables shipped with the launcher: every slot the program
// uses is filled, the two path formats are safe, and every text shown on a
// status line fits its 140 pixels, as do the figures of the lower line.
#include <QFontMetrics>
#include <QString>
#include <filesystem>

#include "files/string_table.h"
#include "files/utf16.h"
#include "qt_test_app.h"
#include "support/temp_dir.h"
#include "ui/qt/status_painter.h"
#include "update/transfer_figures.h"

#include <gtest/gtest.h>

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kShownSlots[] = {MSG_LIST_UNUSABLE,
                               MSG_CHECKING_FILES,
                               MSG_DOWNLOADING,
                               MSG_DECOMPRESS_FAILED,
                               MSG_INSTALLING,
                               MSG_FETCHING_LIST,
                               MSG_FULL_CHECK_START,
                               MSG_SERVER_INFO_INVALID,
                               MSG_SERVER_INFO_MISSING,
                               MSG_PID_MISMATCH,
                               MSG_FULL_CHECK_FAILED,
                               MSG_FULL_CHECK_DONE,
                               MSG_APPLYING,
                               MSG_DELETING,
                               MSG_UPDATE_START,
                               MSG_FULL_CHECK_NEEDED,
                               MSG_FULL_CHECK_NEEDED_DETAIL,
                               MSG_UPDATE_FAILED,
                               MSG_UPDATE_DONE,
                               MSG_WAITING_FOR_PATCHER,
                               MSG_PATCHER_STILL_RUNNING,
                               MSG_PATCHER_STILL_RUNNING_DETAIL,
                               MSG_RELEASE_NOT_TRUSTED,
                               MSG_STATEMENT_EXPIRED,
                               MSG_DISK_SPACE_LOW};

class SampleStringTableTest : public ::testing::TestWithParam<const char*> {};

TEST_P(SampleStringTableTest, CoversEveryUsedSlotAndFitsTheLines) {
  TestApplication();
  TempDir temp;
  const fs::path table = temp / "stringtab.txt";
  fs::copy_file(fs::path(LAUNCHER_SOURCE_DIR) / "resources" / GetParam(), table);
  const std::string bytes = ReadFileBytes(table);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), std::string("\xFF\xFE"));

  ClearStringTable();
  LoadStringTable(table.u16string());
  for (int slot = 0; slot <= MSG_LOG_FILE_NOT_BOUND; ++slot) {
    if (slot == 2) continue;  // not used by the program
    EXPECT_FALSE(g_messages[static_cast<std::size_t>(slot)].empty()) << "slot " << slot;
  }
  for (int slot = MSG_LOG_WHOLE_NO_PATCH; slot <= MSG_LOG_PATCH_INDEX_REFUSED; ++slot) {
    EXPECT_FALSE(g_messages[static_cast<std::size_t>(slot)].empty()) << "slot " << slot;
  }
  for (int slot : {MSG_MOVE_FAILED, MSG_COPY_FAILED}) {
    const std::u16string& format = g_messages[static_cast<std::size_t>(slot)];
    std::size_t percents = 0, conversions = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
      if (format[i] != u'%') continue;
      ++percents;
      if (i + 1 < format.size() && format[i + 1] == u's') ++conversions;
    }
    EXPECT_EQ(conversions, 2u) << "slot " << slot;
    EXPECT_EQ(percents, 2u) << "slot " << slot << " has another conversion";
  }

  const QFontMetrics metrics(MakeStatusFont());
  for (int slot : kShownSlots) {
    const std::u16string& text = g_messages[static_cast<std::size_t>(slot)];
    EXPECT_EQ(text.find(u'&'), std::u16string::npos) << "slot " << slot;
    const QString shown = QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
    EXPECT_LE(metrics.horizontalAdvance(shown), 140) << "slot " << slot << ": " << ToUtf8(text);
  }

  // The lower line while files arrive: 123 of 456 MB at 850 KB/s. The file
  // name may run off the line's end, the figures must not.
  const std::u16string& format = g_messages[MSG_DETAIL_WITH_FIGURES];
  for (const char16_t* field : {u"{name}", u"{bytes}", u"{speed}", u"{left}"})
    EXPECT_NE(format.find(field), std::u16string::npos) << ToUtf8(field);
  EXPECT_EQ(format.find(u'&'), std::u16string::npos);
  TransferFigures figures;
  figures.BeginPass(0, 456 << 20);
  figures.TransferStarted(456 << 20);
  for (std::uint32_t second = 1; second <= 148; ++second)
    figures.TransferReached(second * 1000, second * (850 << 10), 456 << 20);
  const std::u16string line = FormatFigures(format, u"", figures);
  const QString shown = QString::fromUtf16(line.data(), static_cast<qsizetype>(line.size()));
  EXPECT_NE(line.find(u"6:42"), std::u16string::npos) << ToUtf8(line);
  EXPECT_LE(metrics.horizontalAdvance(shown.trimmed()), 140) << ToUtf8(line);
  ClearStringTable();
}

INSTANTIATE_TEST_SUITE_P(Languages, SampleStringTableTest,
                         ::testing::Values("stringtab-en.txt", "stringtab-zh.txt"));

}  // namespace
}  // namespace launcher::testing
