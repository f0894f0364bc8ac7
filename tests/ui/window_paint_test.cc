// What the launcher window draws: skin, shape, placement, bars and text lines.
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

#include "files/utf16.h"
#include "support/temp_dir.h"
#include "ui/qt/status_painter.h"
#include "ui/window_layout.h"
#include "window_fixture.h"

namespace launcher::testing {
namespace {

const QRect kStatusRect(47, 154, 140, 14);
const QRect kDetailRect(47, 169, 140, 14);

QImage Resource(const char* name) {
  return QImage(QString::fromLatin1(name)).convertToFormat(QImage::Format_RGB32);
}

// The skin with `text` drawn into the status rectangle by plain Qt calls,
// with no mnemonic processing.
QImage SkinWithText(const QImage& skin, const QString& text) {
  QImage out = skin.copy();
  QPainter p(&out);
  p.setClipRect(kStatusRect);
  p.setFont(MakeStatusFont());
  p.setPen(QColor(250, 232, 162));
  p.drawText(kStatusRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
  return out;
}

using WindowPaintTest = WindowFixture;

TEST_F(WindowPaintTest, BarsFillFromTheLeftAtExactWidths) {
  const QImage track = Resource(":/launcher/images/bar_track.png");
  const QImage total = Resource(":/launcher/images/bar_total.png");
  const QImage file = Resource(":/launcher/images/bar_file.png");
  ASSERT_EQ(track.size(), QSize(140, 10));
  ASSERT_EQ(total.size(), QSize(140, 10));
  ASSERT_EQ(file.size(), QSize(140, 10));
  ASSERT_NE(total.pixel(0, 5), track.pixel(0, 5)) << "fill and track must be told apart";

  auto window = Open();
  struct Case {
    int percent;
    int filled;
  };
  for (const Case c : {Case{0, 0}, Case{1, 1}, Case{50, 70}, Case{99, 138}, Case{100, 140},
                       Case{-20, 0}, Case{250, 140}}) {
    window->SetTotalProgress(c.percent);
    window->SetFileProgress(100 - c.percent);
    const QImage img = Render(*window);
    const int fileFilled = layout::BarFillWidth(100 - c.percent);
    for (int y = 0; y < 10; ++y) {
      for (int x = 0; x < 140; ++x) {
        const QRgb upper = x < c.filled ? total.pixel(x, y) : track.pixel(x, y);
        ASSERT_EQ(img.pixel(47 + x, 119 + y), upper) << c.percent << "% at " << x << "," << y;
        const QRgb lower = x < fileFilled ? file.pixel(x, y) : track.pixel(x, y);
        ASSERT_EQ(img.pixel(47 + x, 132 + y), lower) << 100 - c.percent << "% at " << x << "," << y;
      }
    }
    // Nothing outside the bars, however far out of range the value was.
    EXPECT_TRUE(SamePixels(img, skin_, QRect(46, 117, 1, 27)));
    EXPECT_TRUE(SamePixels(img, skin_, QRect(187, 117, 1, 27)));
    EXPECT_TRUE(SamePixels(img, skin_, QRect(47, 129, 140, 3)));
    EXPECT_TRUE(SamePixels(img, skin_, QRect(47, 142, 140, 1)));
  }
}

TEST_F(WindowPaintTest, EmptyTextsShowTheBareSkin) {
  auto window = Open();
  const QImage img = Render(*window);
  EXPECT_TRUE(SamePixels(img, skin_, kStatusRect));
  EXPECT_TRUE(SamePixels(img, skin_, kDetailRect));
  EXPECT_TRUE(SamePixels(img, skin_, QRect(0, 0, 230, 119))) << "skin above the bars";
}

TEST_F(WindowPaintTest, TextIsDrawnInItsColourAndCutAtTheRightEdge) {
  auto window = Open();
  const std::u16string longText(60, u'W');
  window->SetStatusText(longText);
  window->SetDetailText(u"Detail");
  const QImage img = Render(*window);
  const QImage bare = RenderFresh(u"", u"", 0, 0);

  // Outside the two rectangles nothing changed.
  EXPECT_TRUE(SamePixels(img, bare, QRect(0, 0, 230, 154)));
  EXPECT_TRUE(SamePixels(img, bare, QRect(187, 154, 43, 29)));
  EXPECT_TRUE(SamePixels(img, bare, QRect(0, 154, 47, 29)));
  EXPECT_TRUE(SamePixels(img, bare, QRect(0, 183, 230, 17)));

  // The W's run to the last column of the rectangle, in the upper rows as
  // well: cut off, not wrapped and not ended by an ellipsis.
  bool edgeInk = false;
  bool textColour = false;
  for (int y = 154; y < 161; ++y) {
    for (int x = 182; x < 187; ++x) edgeInk |= img.pixel(x, y) != skin_.pixel(x, y);
  }
  for (int y = 154; y < 168; ++y)
    for (int x = 47; x < 187; ++x) textColour |= img.pixel(x, y) == qRgb(250, 232, 162);
  EXPECT_TRUE(edgeInk);
  EXPECT_TRUE(textColour);
  EXPECT_FALSE(SamePixels(img, bare, kDetailRect));
}

TEST_F(WindowPaintTest, ShorterTextLeavesNothingOfTheLongerOne) {
  auto window = Open();
  window->show();
  window->SetStatusText(u"A much longer status text that fills the line");
  window->SetDetailText(u"some/long/path/to/a/file/name.dat");
  WaitUntil([&] { return false; }, 50);
  (void)Render(*window);
  window->SetStatusText(u"Done");
  window->SetDetailText(u"");
  WaitUntil([&] { return false; }, 50);
  const QImage img = Render(*window);
  const QImage expected = RenderFresh(u"Done", u"", 0, 0);
  EXPECT_TRUE(SamePixels(img, expected, QRect(0, 0, 230, 200)));
}

TEST_F(WindowPaintTest, AmpersandUnderlinesTheNextCharacter) {
  auto window = Open();
  window->SetStatusText(u"AB");
  const QImage plain = Render(*window);
  window->SetStatusText(u"A&B");
  const QImage mnemonic = Render(*window);

  // No ampersand glyph: above the baseline the two renderings agree; below
  // it the underline appears, under the B only.
  const QFontMetrics fm(MakeStatusFont());
  const int baseline = 154 + fm.ascent();
  EXPECT_TRUE(SamePixels(plain, mnemonic, QRect(47, 154, 140, baseline - 154)));
  int firstDiff = -1;
  for (int y = baseline; y < 168 && firstDiff < 0; ++y)
    for (int x = 47; x < 187; ++x)
      if (plain.pixel(x, y) != mnemonic.pixel(x, y)) {
        firstDiff = x;
        break;
      }
  ASSERT_GE(firstDiff, 0) << "no underline";
  EXPECT_GE(firstDiff, 47 + fm.horizontalAdvance(QStringLiteral("A")) - 1);

  // Two ampersands draw one.
  window->SetStatusText(u"A&&B");
  const QImage doubled = Render(*window);
  EXPECT_TRUE(SamePixels(doubled, SkinWithText(skin_, QStringLiteral("A&B")), kStatusRect));
}

TEST_F(WindowPaintTest, ChineseTextIsDrawn) {
  auto window = Open();
  window->SetStatusText(u"正在下载文件");
  const QImage img = Render(*window);
  EXPECT_FALSE(SamePixels(img, skin_, kStatusRect));
  // Every character has a glyph: the text is as wide as six CJK cells.
  const QFontMetrics fm(MakeStatusFont());
  EXPECT_TRUE(fm.inFontUcs4(0x4E0B)) << "no installed face covers Chinese";
}

TEST_F(WindowPaintTest, ShapeFollowsTheSkinAndTheWindowIsCentred) {
  auto window = Open();
  EXPECT_EQ(window->size(), QSize(230, 200));
  EXPECT_TRUE(window->windowFlags().testFlag(Qt::FramelessWindowHint));
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Launcher"));
  EXPECT_FALSE(window->windowIcon().isNull());
  QRegion opaque;
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 230; ++x)
      if (skin_.pixel(x, y) != qRgb(255, 0, 255)) opaque += QRect(x, y, 1, 1);
  EXPECT_TRUE((window->mask() ^ opaque).isEmpty());

  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  EXPECT_EQ(window->pos(), QPoint(screen.left() + (screen.width() - 230) / 2,
                                  screen.top() + (screen.height() - 200) / 2));
}

TEST(WindowLayoutTest, CentringKeepsTheScreenOrigin) {
  // A primary screen right of or above another one starts away from 0,0.
  const layout::Point p = layout::CentredOrigin(1920, -300, 1920 + 1280, -300 + 1024, 230, 200);
  EXPECT_EQ(p.x, 1920 + 525);
  EXPECT_EQ(p.y, -300 + 412);
  // Odd remainders truncate; a screen smaller than the window truncates
  // towards zero on the negative side too.
  EXPECT_EQ(layout::CentredOrigin(0, 0, 801, 601, 230, 200).x, 285);
  EXPECT_EQ(layout::CentredOrigin(0, 0, 100, 100, 230, 200).x, -65);
  EXPECT_EQ(layout::CentredOrigin(0, 0, 100, 100, 231, 201).y, -50);
}

TEST_F(WindowPaintTest, MissingSkinGivesAPlainWindowAndNoLogLine) {
  std::filesystem::remove(launcherDir() / "launcher.bmp");
  auto window = Open();
  EXPECT_EQ(window->size(), QSize(layout::kDefaultWidth, layout::kDefaultHeight));
  EXPECT_TRUE(window->mask().isEmpty()) << "no shape without a skin";
  window->SetStatusText(u"Checking");
  window->SetTotalProgress(50);
  const QImage img = Render(*window);
  const QImage track = Resource(":/launcher/images/bar_track.png");
  EXPECT_EQ(img.pixel(47 + 100, 119 + 5), track.pixel(100, 5)) << "bars are still drawn";
  // The logs are for the update and for failed moves and copies; a missing
  // skin writes into neither.
  EXPECT_FALSE(std::filesystem::exists(launcherDir() / "../config/patcher/fileerr.log"));
  EXPECT_FALSE(std::filesystem::exists(launcherDir() / "../config/patcher/update.log"));
}

TEST_F(WindowPaintTest, UnreadableSkinIsTreatedAsMissing) {
  WriteFileBytes(launcherDir() / "launcher.bmp", "BM this is not a bitmap");
  auto window = Open();
  EXPECT_EQ(window->size(), QSize(layout::kDefaultWidth, layout::kDefaultHeight));
  EXPECT_TRUE(window->mask().isEmpty());
  EXPECT_FALSE(std::filesystem::exists(launcherDir() / "../config/patcher/fileerr.log"));
}

}  // namespace
}  // namespace launcher::testing
