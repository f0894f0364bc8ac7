// The window at a device pixel ratio above 1, as the test's environment sets
// it (QT_SCALE_FACTOR; CTest runs this program at 1.25 and at 2): the shape
// and the skin meet on every device pixel, the skin is scaled without new
// colours, and the text is drawn at the device's resolution.
#include <QGuiApplication>
#include <QSet>
#include <cmath>

#include "ui/pixel_scale.h"
#include "ui/qt/status_painter.h"
#include "ui/window_layout.h"
#include "window_fixture.h"

namespace launcher::testing {
namespace {

constexpr QRgb kKey = 0xFFFF00FFu;

class WindowScaleTest : public WindowFixture {
 protected:
  void SetUp() override {
    WindowFixture::SetUp();
    // The real skin: rounded corners put its edges at every fraction.
    skin_ =
        QImage(
            QString::fromStdString(
                (std::filesystem::path(LAUNCHER_SOURCE_DIR) / "resources/launcher.bmp").string()))
            .convertToFormat(QImage::Format_RGB32);
    ASSERT_FALSE(skin_.isNull());
    SaveBmp(skin_, launcherDir() / "launcher.bmp");
    window_ = Open();
    ratio_ = window_->devicePixelRatioF();
    ASSERT_GT(ratio_, 1.0) << "run with QT_SCALE_FACTOR above 1";
  }
  // The window's pixels on the device.
  QImage Grab() {
    QImage image = window_->grab().toImage().convertToFormat(QImage::Format_RGB32);
    image.setDevicePixelRatio(1);
    return image;
  }

  std::unique_ptr<LauncherWindow> window_;
  qreal ratio_ = 1;
};

TEST_F(WindowScaleTest, ShapeAndSkinMeetOnEveryDevicePixel) {
  const QImage shown = Grab();
  const PixelScale scale(ratio_);
  ASSERT_EQ(shown.size(), QSize(scale.DeviceSize(230), scale.DeviceSize(200)));
  const QRegion& shape = window_->Device().shape;
  ASSERT_FALSE(shape.isEmpty());
  QSet<QRgb> skinColours;
  int opaque = 0;
  for (int y = 0; y < skin_.height(); ++y)
    for (int x = 0; x < skin_.width(); ++x) {
      skinColours.insert(skin_.pixel(x, y));
      opaque += skin_.pixel(x, y) != kKey ? 1 : 0;
    }
  int inside = 0, mismatches = 0, newColours = 0;
  const QRect bars = QRect(47, 119, 140, 23);
  const QRect texts = QRect(47, 154, 140, 29);
  for (int y = 0; y < shown.height(); ++y) {
    for (int x = 0; x < shown.width(); ++x) {
      const bool in = shape.contains(QPoint(x, y));
      inside += in ? 1 : 0;
      if (in == (shown.pixel(x, y) == kKey)) ++mismatches;
      const QPoint layoutPoint(scale.LayoutOf(x), scale.LayoutOf(y));
      if (!bars.contains(layoutPoint) && !texts.contains(layoutPoint) &&
          !skinColours.contains(shown.pixel(x, y)))
        ++newColours;
    }
  }
  EXPECT_EQ(mismatches, 0) << "a key pixel inside the shape or a skin pixel outside it";
  EXPECT_EQ(newColours, 0) << "nearest neighbour: every device pixel is one of the skin's";
  const double expected = opaque * ratio_ * ratio_;
  EXPECT_NEAR(inside, expected, expected * 0.02) << "the shape grew with the ratio";
  // The layout stays the layout: the window's size and mask are the skin's.
  EXPECT_EQ(window_->size(), QSize(230, 200));
  EXPECT_TRUE((window_->mask() ^ ShapeFromImage(skin_)).isEmpty());
}

TEST_F(WindowScaleTest, TextIsDrawnAtTheDeviceResolution) {
  const QImage bare = Grab();
  window_->SetStatusText(u"Downloading... WMW");
  const QImage shown = Grab();
  const QRect line = DeviceRect(layout::kStatusLine, ratio_);
  QRect ink;
  for (int y = 0; y < shown.height(); ++y)
    for (int x = 0; x < shown.width(); ++x)
      if (shown.pixel(x, y) != bare.pixel(x, y)) ink |= QRect(x, y, 1, 1);
  ASSERT_FALSE(ink.isEmpty());
  EXPECT_TRUE(line.contains(ink)) << "cut at the line's device pixels";
  // A glyph drawn at the layout size and then enlarged would repeat each
  // column; drawn at the device's size, neighbouring columns differ.
  const PixelScale scale(ratio_);
  int repeated = 0, differing = 0;
  for (int x = ink.left() + 1; x <= ink.right(); ++x) {
    if (scale.LayoutOf(x) != scale.LayoutOf(x - 1)) continue;  // a new layout column
    bool same = true;
    for (int y = ink.top(); y <= ink.bottom() && same; ++y)
      same = shown.pixel(x, y) == shown.pixel(x - 1, y);
    (same ? repeated : differing) += 1;
  }
  EXPECT_GT(differing, repeated) << "text was enlarged from the layout size";
}

}  // namespace
}  // namespace launcher::testing
