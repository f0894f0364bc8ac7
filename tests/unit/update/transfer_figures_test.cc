// The figures of a pass in simulated time: a bursty network gives a steady
// time left, the upper bar neither goes back nor fills while work remains,
// the total comes from the announced lengths without a statement, and the
// lower line is worded by the installation's format.
#include "update/transfer_figures.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "files/utf16.h"

namespace launcher {
namespace {

constexpr std::int64_t kMiB = 1 << 20;

// A link that moves 2 MiB/s on average, in bursts: 4 MiB within a second,
// reported every 64 KiB, then nothing for a second. The time left is read
// once a second, as the window shows it. A pace taken from the last window
// alone would swing between half the truth and many times it.
TEST(TransferFiguresTest, BurstsGiveASteadyTimeLeft) {
  TransferFigures figures;
  std::uint32_t now = 5000;
  const std::int64_t total = 200 * kMiB;
  figures.BeginPass(now, total);
  figures.TransferStarted(total);
  std::int64_t offset = 0;
  std::vector<std::int64_t> shown;
  for (int second = 0; second < 60; ++second) {
    if (second % 2 == 0) {
      for (int step = 0; step < 64; ++step) {
        offset += 64 << 10;
        figures.TransferReached(now + static_cast<std::uint32_t>(step * 1000 / 64), offset, total);
      }
    }
    now += 1000;
    shown.push_back(figures.SecondsLeft());
  }
  EXPECT_EQ(figures.BytesDone(), 120 * kMiB);
  // Past the first seconds the estimate stays near the truth (2 MiB/s for
  // what is left) and never rises by more than a few seconds at once.
  for (std::size_t i = 4; i < shown.size(); ++i) {
    const auto done = static_cast<std::int64_t>(i / 2 + 1) * 4 * kMiB;
    const double truth = static_cast<double>(total - done) / (2.0 * kMiB);
    EXPECT_NEAR(static_cast<double>(shown[i]), truth, truth * 0.25 + 2) << "second " << i;
    EXPECT_LE(shown[i], shown[i - 1] + 5) << "second " << i;
  }
}

TEST(TransferFiguresTest, UpperBarNeverGoesBackNorFillsWhileWorkRemains) {
  TransferFigures figures;
  figures.BeginPass(0, 1000);
  EXPECT_EQ(figures.TotalBar(0), 0);
  figures.TransferStarted(600);
  figures.TransferReached(100, 300, 600);
  EXPECT_EQ(figures.TotalBar(), 30) << "by bytes, not by entries";
  figures.TransferEnded(200, 600);
  EXPECT_EQ(figures.TotalBar(50), 60);
  // The second file's digest fails and it comes again in full: more bytes
  // than the total, but an entry is still open.
  figures.TransferStarted(400);
  figures.TransferEnded(300, 400);
  figures.TransferStarted(400);
  figures.TransferEnded(400, 400);
  EXPECT_EQ(figures.BytesDone(), 1400);
  EXPECT_EQ(figures.TotalBar(50), 99);
  EXPECT_EQ(figures.TotalBar(100), 100);

  // Without a total the entries decide, and a lower report does not pull
  // the bar back; a new pass starts from its own beginning.
  figures.BeginPass(0, -1);
  EXPECT_EQ(figures.TotalBar(40), 40);
  figures.TransferStarted(5000);
  figures.TransferReached(10, 5000, 5000);
  EXPECT_EQ(figures.TotalBar(), 40);
  EXPECT_EQ(figures.TotalBar(20), 40);
  figures.BeginPass(0, -1);
  EXPECT_EQ(figures.TotalBar(0), 0);
}

TEST(TransferFiguresTest, TotalWithoutAStatementIsWhatTheTransfersAnnounce) {
  TransferFigures figures;
  figures.BeginPass(0, -1);
  EXPECT_EQ(figures.TotalBytes(), 0);
  EXPECT_EQ(figures.SecondsLeft(), -1) << "nothing known yet";
  // A transfer the server refuses before any byte counts nothing.
  figures.TransferEnded(10, 0);
  // A file from its first byte.
  figures.TransferStarted(1000);
  figures.TransferReached(100, 400, 1000);
  figures.TransferEnded(200, 1000);
  // The next one resumes a file of 3000 bytes at 1000 (from an earlier
  // run): its first report only marks where it stands, the rest counts.
  figures.TransferReached(300, 1200, 3000);
  figures.TransferReached(600, 2200, 3000);
  EXPECT_EQ(figures.TotalBytes(), 1000 + 1800);
  EXPECT_EQ(figures.BytesDone(), 1000 + 1000);
  // A body sent again from its start goes on counting what arrives.
  figures.TransferReached(700, 500, 3000);
  EXPECT_EQ(figures.BytesDone(), 2500);
  // 2000 bytes in the first 600 ms window: the rest of 300 at that pace.
  EXPECT_DOUBLE_EQ(figures.BytesPerSecond(), 2000 * 1000.0 / 600);
  EXPECT_EQ(figures.SecondsLeft(), 1);
}

TEST(TransferFiguresTest, LineIsWordedByTheFormat) {
  // At most three digits, one decimal below 10, in the larger one's unit.
  EXPECT_EQ(FormatByteCount(1023), u"1023B");
  EXPECT_EQ(FormatByteCount(10 * 1024 - 1), u"10K");
  EXPECT_EQ(FormatByteCount(1000 * 1024), u"1.0M");
  EXPECT_EQ(FormatBytesOfTotal(512 << 10, 12 * kMiB), u"0.5/12M");
  EXPECT_EQ(FormatTimeLeft(3599), u"59:59");
  EXPECT_EQ(FormatTimeLeft(3723), u"1:02:03");
  EXPECT_EQ(FormatTimeLeft(100 * 3600), u"--:--");

  TransferFigures figures;
  figures.BeginPass(0, -1);
  EXPECT_EQ(FormatFigures(u"{left} {speed} {done}/{total} {bytes} {name}", u"a.pak", figures),
            u"--:-- -- 0B/-- 0B/-- a.pak");
  figures.TransferStarted(12 * kMiB);
  figures.TransferReached(1000, 3 * kMiB, 12 * kMiB);
  EXPECT_EQ(
      FormatFigures(u"{left} left {speed} {done} of {total} {bytes} {name}", u"a.pak", figures),
      u"0:03 left 3.0M/s 3.0M of 12M 3.0/12M a.pak");
  // Fields in any order and more than once; anything else, braces too, is
  // text; a name is never read as a format.
  EXPECT_EQ(FormatFigures(u"剩余{left}{x}{left} {", u"{left}", figures), u"剩余0:03{x}0:03 {");
  EXPECT_EQ(FormatFigures(u"{name} {total", u"{left}", figures), u"{left} {total");
}

}  // namespace
}  // namespace launcher
