// The Win32 launcher window under Wine, seen from the X server: its shape
// against the skin, its pixels against the Qt window's painter for the same
// state, Chinese text, the close spot, dragging, the close handshake and the
// single instance. The programs come from the windows build
// (window_probe.exe, launcher.exe); the comparison runs here, where the Qt
// painter is.
#include <QImage>
#include <QString>
#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>

#include "wine_window_fixture.h"

namespace launcher::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST_F(WineWindowTest, ShapeBarsAndTextMatchTheLinuxWindow) {
  StatusState::Values v;
  v.statusText = u"正在更新 &Data";
  v.detailText = u"data/补丁文件/a-file-name-far-wider-than-the-line.pak";
  v.totalPercent = 50;
  v.filePercent = 99;
  auto probe = StartProbe("show", v);
  const XWindow w = WaitForWindow();
  ASSERT_NE(w, 0u);

  const SkinImages images =
      LoadSkinImages(QString::fromStdString((dir_ / "launcher.bmp").string()));
  const QImage& skin = images.skin;
  const QRect g = session_->Geometry(w);
  EXPECT_EQ(g, QRect((kScreenWidth - 230) / 2, (kScreenHeight - 200) / 2, 230, 200))
      << "centred on the screen at the skin's size";

  // The shape: every pixel of the skin that is not magenta, nothing else.
  const QRegion opaque = Opaque(skin);
  EXPECT_TRUE((session_->Shape(w) ^ opaque).isEmpty());

  // Pixels: the same as the Linux painter's outside the text lines, once the
  // window has drawn the state.
  const QImage reference = QtReference(images, v);
  const QRegion textLines = QRegion(ToQRect(layout::kStatusLine)) + ToQRect(layout::kDetailLine);
  QImage shown;
  int mismatches = -1;
  PollFor(
      [&] {
        shown = session_->Capture(w);
        if (shown.size() != skin.size()) return false;
        mismatches = 0;
        for (int y = 0; y < skin.height(); ++y)
          for (int x = 0; x < skin.width(); ++x)
            if (opaque.contains(QPoint(x, y)) && !textLines.contains(QPoint(x, y)) &&
                (shown.pixel(x, y) & 0xFFFFFFu) != (reference.pixel(x, y) & 0xFFFFFFu))
              ++mismatches;
        return mismatches == 0;
      },
      20s);
  EXPECT_EQ(mismatches, 0) << "skin and bars (50% = 70 px, 99% = 138 px) as on Linux";

  // Text: drawn inside its line where the Linux window draws it, cut at the
  // right edge, in the same face at the same size.
  for (const layout::Rect& line : {layout::kStatusLine, layout::kDetailLine}) {
    const QRegion ours = Ink(shown, skin, ToQRect(line));
    const QRegion theirs = Ink(reference, skin, ToQRect(line));
    ASSERT_FALSE(ours.isEmpty());
    const QRect a = ours.boundingRect();
    const QRect b = theirs.boundingRect();
    EXPECT_LE(std::abs(a.left() - b.left()), 2) << a.left() << " vs " << b.left();
    EXPECT_LE(std::abs(a.top() - b.top()), 3) << a.top() << " vs " << b.top();
    EXPECT_LE(std::abs(a.bottom() - b.bottom()), 3) << a.bottom() << " vs " << b.bottom();
    EXPECT_GT(Area(ours) * 2, Area(theirs));
    EXPECT_LT(Area(ours), Area(theirs) * 2);
  }
  EXPECT_GE(Ink(shown, skin, ToQRect(layout::kDetailLine)).boundingRect().right(),
            layout::kDetailLine.right - 3)
      << "the long line runs to the edge and is cut there";
  // "&D": no ampersand, an underlined D: the status line's lowest ink row
  // is the underline, below every glyph's baseline in the Linux window too.
  const QRect statusInk = Ink(shown, skin, ToQRect(layout::kStatusLine)).boundingRect();
  EXPECT_LE(std::abs(statusInk.right() -
                     Ink(reference, skin, ToQRect(layout::kStatusLine)).boundingRect().right()),
            3)
      << "no ampersand drawn";

  ASSERT_TRUE(session_->Xdotool(
      {"mousemove", std::to_string(g.x() + 203), std::to_string(g.y() + 32), "click", "1"}));
  EXPECT_EQ(probe->WaitForExit(20s), 0);
  EXPECT_TRUE(Recorded("closed"));
}

TEST_F(WineWindowTest, ChineseTextIsDrawnNotBoxes) {
  // Two different pairs of characters: boxes in place of glyphs would give
  // both lines the same ink.
  StatusState::Values v;
  v.statusText = u"中文";
  v.detailText = u"补丁";
  auto probe = StartProbe("show", v);
  const XWindow w = WaitForWindow();
  ASSERT_NE(w, 0u);
  const QImage skin(QString::fromStdString((dir_ / "launcher.bmp").string()));
  QRegion status, moved;
  // The first paint of a fresh Wine session may come before its font
  // fallback is ready; the glyphs must differ once the window settles.
  PollFor(
      [&] {
        const QImage shown = session_->Capture(w);
        if (shown.size() != skin.size()) return false;
        status =
            Ink(shown, skin.convertToFormat(QImage::Format_RGB32), ToQRect(layout::kStatusLine));
        moved = Ink(shown, skin.convertToFormat(QImage::Format_RGB32), ToQRect(layout::kDetailLine))
                    .translated(0, layout::kStatusLine.top - layout::kDetailLine.top);
        return !status.isEmpty() && !moved.isEmpty() && Area(status ^ moved) > Area(status) / 3;
      },
      20s);
  ASSERT_FALSE(status.isEmpty());
  EXPECT_GT(Area(status ^ moved), Area(status) / 3) << "the glyphs differ";
}

TEST_F(WineWindowTest, DraggingByTheBodyMovesTheWindow) {
  auto probe = StartProbe("show");
  const XWindow w = WaitForWindow();
  ASSERT_NE(w, 0u);
  const QRect before = session_->Geometry(w);
  // On a text line: everything but the close spot drags.
  const int x = before.x() + 100;
  const int y = before.y() + 160;
  ASSERT_TRUE(session_->Xdotool(
      {"mousemove", std::to_string(x), std::to_string(y), "mousedown", "1", "sleep", "0.2",
       "mousemove", std::to_string(x + 20), std::to_string(y + 10), "sleep", "0.2", "mousemove",
       std::to_string(x + 60), std::to_string(y + 40), "sleep", "0.2", "mouseup", "1"}));
  EXPECT_TRUE(PollFor(
      [&] { return session_->Geometry(w).topLeft() == before.topLeft() + QPoint(60, 40); }, 5s))
      << "now at " << session_->Geometry(w).x() << "," << session_->Geometry(w).y();
  EXPECT_TRUE(probe->running()) << "a drag does not close";
}

TEST_F(WineWindowTest, AltF4ClosesLikeTheCloseSpot) {
  auto probe = StartProbe("show");
  const XWindow w = WaitForWindow();
  ASSERT_NE(w, 0u);
  const QRect g = session_->Geometry(w);
  // A click on the body gives the window the keyboard (and drags nothing).
  ASSERT_TRUE(
      session_->Xdotool({"mousemove", std::to_string(g.x() + 100), std::to_string(g.y() + 60),
                         "click", "1", "sleep", "0.3", "key", "alt+F4"}));
  EXPECT_EQ(probe->WaitForExit(20s), 0);
  EXPECT_TRUE(Recorded("closed"));
}

TEST_F(WineWindowTest, ClosingDuringAGuardedSectionWaitsForIt) {
  auto probe = StartProbe("guarded");
  const XWindow w = WaitForWindow();
  ASSERT_NE(w, 0u);
  ASSERT_TRUE(PollFor([&] { return Recorded("entered"); }, 20s));
  const QRect g = session_->Geometry(w);
  ASSERT_TRUE(session_->Xdotool(
      {"mousemove", std::to_string(g.x() + 203), std::to_string(g.y() + 32), "click", "1"}));
  // The close waits while the worker is inside its section.
  EXPECT_EQ(probe->WaitForExit(1500ms), -1);
  EXPECT_FALSE(Recorded("closed"));
  Release();
  EXPECT_EQ(probe->WaitForExit(20s), 0);
  const auto lines = ReadLines(record_);
  const auto left = std::find(lines.begin(), lines.end(), "left");
  const auto closed = std::find(lines.begin(), lines.end(), "closed");
  ASSERT_NE(left, lines.end());
  ASSERT_NE(closed, lines.end());
  EXPECT_LT(left, closed) << "the section ended before the window closed";
}

TEST_F(WineWindowTest, SecondLauncherShowsTheFirstAlsoAfterTheHandOffHidIt) {
  const fs::path launcher = WindowsBuildFile("src/app/launcher.exe");
  ASSERT_FALSE(launcher.empty());
  auto first = StartProbe("handoff");
  ASSERT_TRUE(PollFor([&] { return Recorded("hidden"); }, 30s));
  ASSERT_TRUE(PollFor([&] { return session_->WindowsTitled("Launcher").empty(); }, 5s))
      << "hidden for the hand-off";

  // A second launcher finds the first by its mutex, shows its window and
  // ends without one of its own.
  auto second = session_->Start(launcher, {}, dir_);
  EXPECT_EQ(second->WaitForExit(30s), 0);
  EXPECT_TRUE(PollFor([&] { return session_->WindowsTitled("Launcher").size() == 1; }, 5s));
  Release();
  EXPECT_EQ(first->WaitForExit(20s), 0);
  EXPECT_TRUE(Recorded("visible=1 foreground=1 iconic=0"));
}

}  // namespace
}  // namespace launcher::testing
