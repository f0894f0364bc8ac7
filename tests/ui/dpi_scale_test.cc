// The window at other pixel densities: the shape of the scaled skin is the
// scaled shape (so the window's edge and the image's edge meet at every
// density), and the scaled bars and lines fill exactly their scaled places.
#include "ui/dpi_scale.h"

#include <QImage>
#include <QRect>
#include <QRegion>
#include <QString>
#include <vector>

#include <gtest/gtest.h>

namespace launcher {
namespace {

QRegion ToQRegion(const std::vector<RegionRect>& rects) {
  QRegion region;
  for (const RegionRect& r : rects)
    region += QRect(r.left, r.top, r.right - r.left, r.bottom - r.top);
  return region;
}

std::vector<RegionRect> ShapeOf(const PixelImage& image) {
  return CreateRegionFromBitmap(image.width, image.height, image.pixels,
                                static_cast<std::size_t>(image.width), layout::kSkinKeyColour,
                                RegionMode::kOpaque);
}

PixelImage ShippedSkin() {
  const QImage skin = QImage(QString(LAUNCHER_SOURCE_DIR) + "/resources/launcher.bmp")
                          .convertToFormat(QImage::Format_RGB32);
  PixelImage image{skin.width(), skin.height(), {}};
  for (int y = 0; y < skin.height(); ++y)
    for (int x = 0; x < skin.width(); ++x) image.pixels.push_back(skin.pixel(x, y) & 0xFFFFFFu);
  return image;
}

TEST(DpiScale, TheShapeOfTheScaledSkinIsTheScaledShape) {
  const PixelImage skin = ShippedSkin();
  ASSERT_GT(skin.width, 0);
  const std::vector<RegionRect> shape = ShapeOf(skin);
  for (const int dpi : {96, 108, 120, 144, 168, 192, 240, 288}) {
    const PixelImage scaled = ScaleImageNearest(skin, dpi);
    EXPECT_EQ(scaled.width, ScaleLength(skin.width, dpi)) << dpi;
    EXPECT_EQ(scaled.height, ScaleLength(skin.height, dpi)) << dpi;
    EXPECT_TRUE((ToQRegion(ShapeOf(scaled)) ^ ToQRegion(ScaleRegion(shape, dpi))).isEmpty())
        << "at " << dpi << " dpi the image's edge and the shape's edge part";
  }
  // Doubling is exact pixel doubling.
  const PixelImage doubled = ScaleImageNearest(skin, 192);
  for (int y = 0; y < doubled.height; ++y)
    for (int x = 0; x < doubled.width; ++x)
      ASSERT_EQ(doubled.pixels[static_cast<std::size_t>(y * doubled.width + x)],
                skin.pixels[static_cast<std::size_t>(y / 2 * skin.width + x / 2)]);
}

TEST(DpiScale, BarsAndLinesFillTheirScaledPlaces) {
  const PixelImage bar{layout::kBarWidth, layout::kBarHeight,
                       std::vector<std::uint32_t>(layout::kBarWidth * layout::kBarHeight, 1)};
  for (int dpi = kMinDpi; dpi <= 480; ++dpi) {
    for (const layout::Rect& place : {layout::kTotalBar, layout::kFileBar}) {
      // A bar image scaled for its place covers the place, no more, no less
      // (at 125 % the two bars' heights differ by a pixel).
      const layout::Rect at = ScaleRect(place, dpi);
      const PixelImage scaled = ScaleImageNearest(bar, dpi, place.left, place.top);
      ASSERT_EQ(scaled.width, at.width()) << dpi;
      ASSERT_EQ(scaled.height, at.height()) << dpi;
      ASSERT_EQ(ScaledBarFillWidth(0, dpi), 0);
      ASSERT_EQ(ScaledBarFillWidth(100, dpi), at.width()) << dpi;
      ASSERT_EQ(ScaledBarFillWidth(250, dpi), at.width()) << "clamped";
    }
    int last = 0;
    for (int percent = 1; percent <= 100; ++percent) {
      ASSERT_GE(ScaledBarFillWidth(percent, dpi), last) << "the bar never shrinks";
      last = ScaledBarFillWidth(percent, dpi);
    }
  }
  EXPECT_EQ(ScaleLength(layout::kFontPixelSize, 144), 20) << "19.5 rounds away from zero";
  EXPECT_EQ(ScaleLength(-3, 144), -5);
}

TEST(DpiScale, UnusableDensitiesAreMadeUsable) {
  EXPECT_EQ(UsableDpi(0), 96) << "a failed query";
  EXPECT_EQ(UsableDpi(-1), 96);
  EXPECT_EQ(UsableDpi(72), 96) << "never smaller than the skin";
  EXPECT_EQ(UsableDpi(144), 144);
  EXPECT_EQ(UsableDpi(100000), kMaxDpi);
  EXPECT_TRUE(ScaleImageNearest(PixelImage{2, 2, {1, 2, 3}}, 192).pixels.empty())
      << "too few pixels for the size";
}

}  // namespace
}  // namespace launcher
