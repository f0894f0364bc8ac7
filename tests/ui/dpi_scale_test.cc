// The window at other pixel densities: the shape of the scaled skin is the
// scaled shape, so the window's edge and the image's edge meet at every
// density, and each bar's scaled images fill exactly its scaled place.
#include "ui/dpi_scale.h"

#include <QImage>
#include <QRegion>
#include <QString>

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

TEST(DpiScale, ShapeAndImagesShareTheirEdgesAtEveryDensity) {
  const QImage skin = QImage(QString(LAUNCHER_SOURCE_DIR) + "/resources/launcher.bmp")
                          .convertToFormat(QImage::Format_RGB32);
  PixelImage image{skin.width(), skin.height(), {}};
  for (int y = 0; y < skin.height(); ++y)
    for (int x = 0; x < skin.width(); ++x) image.pixels.push_back(skin.pixel(x, y) & 0xFFFFFFu);
  const std::vector<RegionRect> shape = ShapeOf(image);
  ASSERT_FALSE(shape.empty());
  for (const int dpi : {96, 108, 120, 144, 168, 192, 240}) {
    EXPECT_TRUE(
        (ToQRegion(ShapeOf(ScaleImageNearest(image, dpi))) ^ ToQRegion(ScaleRegion(shape, dpi)))
            .isEmpty())
        << dpi;
  }
  // At 125 % the two bars' heights differ by a pixel: each bar image is
  // scaled for its own place, and fills it from empty to full.
  const PixelImage bar{layout::kBarWidth, layout::kBarHeight,
                       std::vector<std::uint32_t>(layout::kBarWidth * layout::kBarHeight)};
  for (int dpi = kMinDpi; dpi <= 288; ++dpi) {
    for (const layout::Rect& place : {layout::kTotalBar, layout::kFileBar}) {
      const layout::Rect at = ScaleRect(place, dpi);
      const PixelImage scaled = ScaleImageNearest(bar, dpi, place.left, place.top);
      ASSERT_EQ(scaled.width, at.width()) << dpi;
      ASSERT_EQ(scaled.height, at.height()) << dpi;
      ASSERT_EQ(ScaledBarFillWidth(100, dpi), at.width()) << dpi;
    }
  }
  EXPECT_EQ(UsableDpi(0), kBaseDpi) << "a failed query";
  EXPECT_EQ(UsableDpi(72), kBaseDpi) << "never smaller than the skin";
}

}  // namespace
}  // namespace launcher
