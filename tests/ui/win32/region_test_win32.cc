// The Win32 side of the window shape: the shared rectangles turned into a GDI
// region in records of at most 2000 rectangles, and the pixels read back
// from a bitmap, checked against a region built pixel by pixel.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "ui/skin_region.h"
#include "ui/win32/skin_images.h"

namespace launcher::win32 {
namespace {

constexpr std::uint32_t kKey = 0xFF00FF;

// Key colour in every fifth pair of columns, shifted per row: many short
// runs in every row and no two rows alike.
std::uint32_t Pattern(int x, int y) { return ((x / 2 + y * 3) % 5 == 0) ? kKey : 0x102030; }

HRGN PixelOracle(int w, int h) {
  HRGN all = CreateRectRgn(0, 0, 0, 0);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      if (Pattern(x, y) == kKey) continue;
      HRGN dot = CreateRectRgn(x, y, x + 1, y + 1);
      CombineRgn(all, all, dot, RGN_OR);
      DeleteObject(dot);
    }
  }
  return all;
}

TEST(Win32Region, ManyRunsBuildInRecordsAndEqualThePixels) {
  const int w = 120;
  const int h = 200;
  std::vector<std::uint32_t> pixels;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) pixels.push_back(Pattern(x, y));
  RegionBuildStats stats;
  const std::vector<RegionRect> rects = CreateRegionFromBitmap(
      w, h, pixels, static_cast<std::size_t>(w), kKey, RegionMode::kOpaque, &stats);
  ASSERT_GT(rects.size(), static_cast<std::size_t>(kRegionFlushRuns))
      << "more than one record is needed";
  HRGN built = RegionFromRects(rects);
  ASSERT_NE(built, nullptr);
  HRGN oracle = PixelOracle(w, h);
  EXPECT_TRUE(EqualRgn(built, oracle));
  DeleteObject(built);
  DeleteObject(oracle);
  EXPECT_EQ(RegionFromRects({}), nullptr);
}

TEST(Win32Region, PixelsReadBackFromABitmapTopRowFirst) {
  // A 3 x 2 bottom-up DIB section, the form LoadImage gives a skin file.
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = 3;
  info.bmiHeader.biHeight = 2;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  ASSERT_NE(bitmap, nullptr);
  // Rows are 4-byte aligned: 9 bytes of pixels, 3 of padding. Blue, green,
  // red; the bottom row comes first in memory.
  const unsigned char data[24] = {0x01, 0x02, 0x03, 0xFF, 0x00, 0xFF, 0x10, 0x20, 0x30, 0, 0, 0,
                                  0xAA, 0xBB, 0xCC, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0, 0, 0};
  std::memcpy(bits, data, sizeof(data));
  int w = 0;
  int h = 0;
  const std::vector<std::uint32_t> pixels = ReadBitmapPixels(bitmap, &w, &h);
  DeleteObject(bitmap);
  ASSERT_EQ(w, 3);
  ASSERT_EQ(h, 2);
  const std::vector<std::uint32_t> expected = {0xCCBBAA, 0x000000, 0xFFFFFF,
                                               0x030201, 0xFF00FF, 0x302010};
  EXPECT_EQ(pixels, expected);
  EXPECT_TRUE(ReadBitmapPixels(nullptr, &w, &h).empty());
}

}  // namespace
}  // namespace launcher::win32
