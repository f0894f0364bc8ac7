// The Win32 launcher window at other pixel densities under Wine (whose
// density is its registry's "LogPixels"), seen from the X server: at 200 %
// the window, its shape and its pixels are the skin's doubled, with text
// drawn at twice the size; at 150 % the shape and the image still share
// every edge; and a move to a denser monitor (WM_DPICHANGED) redraws the
// window at the suggested place and the new size.
#include <QImage>
#include <QSet>
#include <QString>
#include <QTransform>
#include <chrono>
#include <cmath>

#include <gtest/gtest.h>

#include "wine_window_fixture.h"

namespace launcher::testing {
namespace {

using namespace std::chrono_literals;

class WineDpiTest : public WineWindowTest {
 protected:
  void SetUp() override {
    WineWindowTest::SetUp();
    values_.statusText = u"正在更新 &Data";
    values_.detailText = u"data/补丁文件/a-file-name-far-wider-than-the-line.pak";
    values_.totalPercent = 50;
    values_.filePercent = 99;
    images_ = LoadSkinImages(QString::fromStdString((dir_ / "launcher.bmp").string()));
  }

  // Waits until `w` shows the Linux window's pixels for values_ doubled,
  // outside the text lines; returns what it showed last and sets
  // `mismatches`.
  QImage WaitForDoubledPixels(XWindow w, int* mismatches) {
    const QImage expected =
        QtReference(images_, values_)
            .scaled(images_.skin.size() * 2, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    QRegion textLines = QRegion(ToQRect(layout::kStatusLine)) + ToQRect(layout::kDetailLine);
    textLines = QTransform::fromScale(2, 2).map(textLines);
    const QRegion compared = QTransform::fromScale(2, 2).map(Opaque(images_.skin)) - textLines;
    QImage shown;
    *mismatches = -1;
    PollFor(
        [&] {
          shown = session_->Capture(w);
          if (shown.size() != expected.size()) return false;
          *mismatches = 0;
          for (const QRect& r : compared)
            for (int y = r.top(); y <= r.bottom(); ++y)
              for (int x = r.left(); x <= r.right(); ++x)
                if ((shown.pixel(x, y) & 0xFFFFFFu) != (expected.pixel(x, y) & 0xFFFFFFu))
                  ++*mismatches;
          return *mismatches == 0;
        },
        20s);
    return shown;
  }

  // A click in the middle of the close spot (x 194-212, y 24-41 of the
  // skin) at `scale` times the skin's size.
  void CloseByTheCloseSpot(XWindow w, int scale) {
    const QRect g = session_->Geometry(w);
    ASSERT_TRUE(session_->Xdotool({"mousemove", std::to_string(g.x() + scale * 203),
                                   std::to_string(g.y() + scale * 32), "click", "1"}));
  }

  StatusState::Values values_;
  SkinImages images_;
};

TEST_F(WineDpiTest, At200PercentTheWindowIsTheSkinPixelDoubled) {
  // The same state at 100 % first: the text's size to compare with.
  QImage at100;
  {
    auto probe = StartProbe("show", values_);
    const XWindow w = WaitForWindow();
    ASSERT_NE(w, 0u);
    ASSERT_TRUE(PollFor(
        [&] {
          at100 = session_->Capture(w);
          return at100.size() == images_.skin.size() &&
                 !Ink(at100, images_.skin, ToQRect(layout::kDetailLine)).isEmpty();
        },
        20s));
    SaveScreenshot(at100, "screenshot-windows-scale-100");
    CloseByTheCloseSpot(w, 1);
    EXPECT_EQ(probe->WaitForExit(20s), 0);
  }

  ASSERT_TRUE(SetDpi(192));
  auto probe = StartProbe("show", values_);
  const XWindow w = WaitForWindow();
  ASSERT_NE(w, 0u);
  EXPECT_EQ(session_->Geometry(w),
            QRect((kScreenWidth - 460) / 2, (kScreenHeight - 400) / 2, 460, 400))
      << "centred at twice the skin's size";
  EXPECT_TRUE(
      (session_->Shape(w) ^ QTransform::fromScale(2, 2).map(Opaque(images_.skin))).isEmpty())
      << "the shape is the skin's, doubled";

  int mismatches = -1;
  const QImage shown = WaitForDoubledPixels(w, &mismatches);
  EXPECT_EQ(mismatches, 0) << "skin and bars are the Linux window's, each pixel doubled";
  SaveScreenshot(shown, "screenshot-windows-scale-200");

  // The text is drawn by the font engine at twice the size, not stretched
  // and not left at its 100 % size.
  const QImage skin2 =
      images_.skin.convertToFormat(QImage::Format_RGB32)
          .scaled(images_.skin.size() * 2, Qt::IgnoreAspectRatio, Qt::FastTransformation);
  for (const layout::Rect& line : {layout::kStatusLine, layout::kDetailLine}) {
    const QRect small = Ink(at100, images_.skin, ToQRect(line)).boundingRect();
    const QRect large =
        Ink(shown, skin2, QTransform::fromScale(2, 2).mapRect(ToQRect(line))).boundingRect();
    ASSERT_FALSE(large.isEmpty());
    EXPECT_LE(std::abs(large.height() - 2 * small.height()), 3)
        << large.height() << " rows at 200 %, " << small.height() << " at 100 %";
    EXPECT_LE(std::abs(large.left() - 2 * small.left()), 3);
    EXPECT_LE(std::abs(large.top() - 2 * small.top()), 3);
  }

  // The close spot is where the skin shows it, doubled.
  CloseByTheCloseSpot(w, 2);
  EXPECT_EQ(probe->WaitForExit(20s), 0);
  EXPECT_TRUE(Recorded("closed"));
}

TEST_F(WineDpiTest, At150PercentTheShapeAndTheImageShareTheirEdges) {
  ASSERT_TRUE(SetDpi(144));
  auto probe = StartProbe("show", values_);
  const XWindow w = WaitForWindow();
  ASSERT_NE(w, 0u);
  EXPECT_EQ(session_->Geometry(w),
            QRect((kScreenWidth - 345) / 2, (kScreenHeight - 300) / 2, 345, 300));
  const QRegion shape = session_->Shape(w);
  // Against Qt's own 150 % of the skin's shape: only edge pixels may differ
  // (the two round halves differently), never a band.
  const QRegion qtScaled = QTransform::fromScale(1.5, 1.5).map(Opaque(images_.skin));
  EXPECT_LT(Area(shape ^ qtScaled), Area(qtScaled) / 20);

  // No key colour inside the shape, and no colour the skin does not have
  // outside the text lines and bars: the image is scaled by nearest
  // neighbour on the shape's grid, so no edge pixel is a blend of magenta.
  QSet<QRgb> skinColours;
  for (int y = 0; y < images_.skin.height(); ++y)
    for (int x = 0; x < images_.skin.width(); ++x)
      skinColours.insert(images_.skin.pixel(x, y) & 0xFFFFFFu);
  QRegion drawn = QRegion(ToQRect(layout::kStatusLine)) + ToQRect(layout::kDetailLine) +
                  ToQRect(layout::kTotalBar) + ToQRect(layout::kFileBar);
  drawn = QTransform::fromScale(1.5, 1.5).map(drawn);
  QImage shown;
  int keyInside = -1;
  int foreign = -1;
  PollFor(
      [&] {
        shown = session_->Capture(w);
        if (shown.size() != QSize(345, 300)) return false;
        keyInside = 0;
        foreign = 0;
        for (const QRect& r : shape)
          for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x) {
              const QRgb p = shown.pixel(x, y) & 0xFFFFFFu;
              if (p == kKeyColour) ++keyInside;
              if (!drawn.contains(QPoint(x, y)) && !skinColours.contains(p)) ++foreign;
            }
        return keyInside == 0 && foreign == 0;
      },
      20s);
  EXPECT_EQ(keyInside, 0) << "key-coloured pixels inside the shape";
  EXPECT_EQ(foreign, 0) << "blended pixels";
  SaveScreenshot(shown, "screenshot-windows-scale-150");
}

TEST_F(WineDpiTest, AMoveToADenserMonitorRedrawsAtTheSuggestedPlace) {
  ASSERT_TRUE(SetDpi(96));
  auto probe = StartProbe("dpi-change", values_);
  const XWindow w = WaitForWindow();
  ASSERT_NE(w, 0u);
  EXPECT_EQ(session_->Geometry(w).size(), QSize(230, 200));
  Release();
  ASSERT_TRUE(PollFor([&] { return Recorded("dpi-changed"); }, 20s));
  // At the suggested corner, at the skin's size doubled (not the suggested
  // rectangle's, a pixel larger), with the shape and pixels doubled.
  EXPECT_TRUE(PollFor([&] { return session_->Geometry(w) == QRect(100, 50, 460, 400); }, 10s))
      << "now " << session_->Geometry(w).x() << "," << session_->Geometry(w).y() << " "
      << session_->Geometry(w).width() << "x" << session_->Geometry(w).height();
  EXPECT_TRUE(
      (session_->Shape(w) ^ QTransform::fromScale(2, 2).map(Opaque(images_.skin))).isEmpty());
  int mismatches = -1;
  WaitForDoubledPixels(w, &mismatches);
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace launcher::testing
