// The window shape from a skin: checked against Qt's own region arithmetic,
// built pixel by pixel, so the run and band logic is not its own oracle.
#include "ui/skin_region.h"

#include <QRect>
#include <QRegion>
#include <cstdint>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

namespace launcher {
namespace {

constexpr std::uint32_t kKey = 0xFF00FF;

struct Bitmap {
  int width;
  int height;
  std::vector<std::uint32_t> pixels;
};

Bitmap MakeBitmap(int w, int h, const std::function<std::uint32_t(int, int)>& colour) {
  Bitmap b{w, h, {}};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) b.pixels.push_back(colour(x, y));
  return b;
}

std::vector<RegionRect> Build(const Bitmap& b, RegionMode mode, RegionBuildStats* stats = nullptr) {
  return CreateRegionFromBitmap(b.width, b.height, b.pixels, static_cast<std::size_t>(b.width),
                                kKey, mode, stats);
}

QRegion ToQRegion(const std::vector<RegionRect>& rects) {
  std::vector<QRect> q;
  for (const RegionRect& r : rects)
    q.emplace_back(r.left, r.top, r.right - r.left, r.bottom - r.top);
  QRegion region;
  region.setRects(q.data(), static_cast<int>(q.size()));
  return region;
}

// The expected region: one 1x1 rectangle per pixel, joined by Qt.
QRegion PixelOracle(const Bitmap& b, RegionMode mode) {
  QRegion region;
  for (int y = 0; y < b.height; ++y) {
    for (int x = 0; x < b.width; ++x) {
      const bool key = (b.pixels[static_cast<std::size_t>(y * b.width + x)] & 0xFFFFFFu) == kKey;
      if (key == (mode == RegionMode::kKeyColour)) region += QRect(x, y, 1, 1);
    }
  }
  return region;
}

// Same area, whatever the decomposition into rectangles.
bool SameArea(const QRegion& a, const QRegion& b) { return (a ^ b).isEmpty(); }

void ExpectBanded(const std::vector<RegionRect>& rects) {
  for (std::size_t i = 1; i < rects.size(); ++i) {
    const RegionRect& a = rects[i - 1];
    const RegionRect& b = rects[i];
    if (a.top == b.top) {
      EXPECT_EQ(a.bottom, b.bottom) << "band " << i;
      EXPECT_LT(a.right, b.left) << "rectangles of a band must be sorted and apart";
    } else {
      EXPECT_GE(b.top, a.bottom) << "bands must not overlap";
    }
  }
}

TEST(SkinRegionTest, OpaqueSkinIsOneRectangleOfTheFullSize) {
  const Bitmap b = MakeBitmap(
      37, 21, [](int x, int y) { return 0x102030u + static_cast<std::uint32_t>(x + y); });
  RegionBuildStats stats;
  const auto rects = Build(b, RegionMode::kOpaque, &stats);
  ASSERT_EQ(rects.size(), 1u);
  EXPECT_EQ(rects[0], (RegionRect{0, 0, 37, 21}));
  EXPECT_EQ(stats.runs, 21) << "one run per row";
  EXPECT_TRUE(Build(b, RegionMode::kKeyColour).empty());
}

TEST(SkinRegionTest, AllKeySkinIsEmptyAndItsKeyRegionIsFull) {
  const Bitmap b = MakeBitmap(16, 9, [](int, int) { return 0xFFFF00FFu; });
  EXPECT_TRUE(Build(b, RegionMode::kOpaque).empty());
  const auto keyRects = Build(b, RegionMode::kKeyColour);
  ASSERT_EQ(keyRects.size(), 1u);
  EXPECT_EQ(keyRects[0], (RegionRect{0, 0, 16, 9}));
}

TEST(SkinRegionTest, ColoursMatchExactlyAndTheTopByteIsIgnored) {
  // Near-magenta pixels are opaque; magenta with any top byte is the key.
  const std::uint32_t row[] = {0x00FF00FF, 0xFEFF00FF, 0xFFFE00FF,
                               0xFFFF01FF, 0xFFFF00FE, 0x12FF00FF};
  const Bitmap b{6, 1, std::vector<std::uint32_t>(std::begin(row), std::end(row))};
  const auto rects = Build(b, RegionMode::kOpaque);
  ASSERT_EQ(rects.size(), 1u);
  EXPECT_EQ(rects[0], (RegionRect{2, 0, 5, 1}));
}

TEST(SkinRegionTest, ShapedSkinMatchesPixelRegionInBothModes) {
  // A disc with a hole and a notch: rows of zero, one and two runs, and
  // rows that repeat (merged into bands) next to rows that differ.
  const Bitmap b = MakeBitmap(41, 33, [](int x, int y) -> std::uint32_t {
    const int dx = x - 20, dy = y - 16;
    const int d2 = dx * dx + dy * dy;
    if (d2 > 15 * 15 || d2 < 4 * 4 || (x > 30 && y < 8)) return kKey;
    return 0x204060;
  });
  for (RegionMode mode : {RegionMode::kOpaque, RegionMode::kKeyColour}) {
    const auto rects = Build(b, mode);
    ExpectBanded(rects);
    EXPECT_TRUE(SameArea(ToQRegion(rects), PixelOracle(b, mode)))
        << "mode " << static_cast<int>(mode);
  }
}

TEST(SkinRegionTest, MoreThanTwoThousandRunsAreJoinedIntoTheSameRegion) {
  // 30 runs per row, 100 rows: 3000 runs; the first record is cut in the
  // middle of row 66, so the join has to merge runs of one row from two
  // records.
  const Bitmap b = MakeBitmap(
      60, 100, [](int x, int y) -> std::uint32_t { return ((x + y) % 2 == 0) ? 0x808080u : kKey; });
  RegionBuildStats stats;
  const auto rects = Build(b, RegionMode::kOpaque, &stats);
  EXPECT_EQ(stats.runs, 3000);
  EXPECT_EQ(stats.flushes, 2);
  EXPECT_EQ(stats.maxRecordCapacity, kRegionFlushRuns);
  ExpectBanded(rects);
  EXPECT_TRUE(SameArea(ToQRegion(rects), PixelOracle(b, RegionMode::kOpaque)));
  EXPECT_EQ(rects.size(), 3000u) << "no two rows of a checkerboard are alike";
}

TEST(SkinRegionTest, RecordGrowsInStepsOfOneHundred) {
  // 150 single-pixel runs in one row: past the first 100 the record grows
  // once, to 200, and everything still arrives.
  const Bitmap b =
      MakeBitmap(300, 1, [](int x, int) -> std::uint32_t { return x % 2 == 0 ? 1u : kKey; });
  RegionBuildStats stats;
  const auto rects = Build(b, RegionMode::kOpaque, &stats);
  EXPECT_EQ(stats.runs, 150);
  EXPECT_EQ(stats.maxRecordCapacity, 200);
  EXPECT_EQ(stats.flushes, 1);
  EXPECT_TRUE(SameArea(ToQRegion(rects), PixelOracle(b, RegionMode::kOpaque)));
}

TEST(SkinRegionTest, StrideAndBadSizes) {
  // Row padding beyond the width is never read as pixels.
  std::vector<std::uint32_t> padded = {1, 1, kKey, 0xDEAD, 1, kKey, 1, 0xDEAD};
  const auto rects = CreateRegionFromBitmap(3, 2, padded, 4, kKey, RegionMode::kKeyColour);
  EXPECT_TRUE(SameArea(ToQRegion(rects), QRegion(2, 0, 1, 1) + QRegion(1, 1, 1, 1)));

  EXPECT_TRUE(CreateRegionFromBitmap(0, 5, padded, 4, kKey, RegionMode::kOpaque).empty());
  EXPECT_TRUE(CreateRegionFromBitmap(3, -1, padded, 4, kKey, RegionMode::kOpaque).empty());
  EXPECT_TRUE(CreateRegionFromBitmap(5, 2, padded, 4, kKey, RegionMode::kOpaque).empty())
      << "stride shorter than the width";
  EXPECT_TRUE(CreateRegionFromBitmap(4, 3, padded, 4, kKey, RegionMode::kOpaque).empty())
      << "buffer shorter than the image";
}

}  // namespace
}  // namespace launcher
