// The launcher natively on Wayland, under a Weston the test starts on its
// own socket: the player's whole journey on the headless compositor (the
// shaped window shows, a second start hands over and ends, the update runs
// against nginx, the patcher takes over, the window goes), and dragging by
// the body under a Weston nested in a private Xvfb, whose pointer the test
// moves: only the compositor can move a Wayland window, so a window that
// followed the pointer was moved by the compositor's move, which the
// launcher started.
#include <gtest/gtest.h>

#include <QLibraryInfo>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/named_lock.h"
#include "served_install.h"
#include "support/temp_dir.h"
#include "ui/window_layout.h"
#include "weston_session.h"
#include "x11_session.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

template <typename Pred>
bool PollFor(Pred pred, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

class LauncherWaylandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!WestonCompositor::Installed()) GTEST_SKIP() << "weston is not installed";
    const fs::path plugins = QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString();
    if (!fs::exists(plugins / "platforms" / "libqwayland-generic.so"))
      GTEST_SKIP() << "qt6-wayland is not installed";
    runtimeDir_ = temp_.path() / "run";
    fs::create_directory(runtimeDir_);
    fs::permissions(runtimeDir_, fs::perms::owner_all, fs::perm_options::replace);
    fs::create_directory(temp_.path() / "install");
  }

  TempDir temp_;
  fs::path runtimeDir_;
};

// What the screen shows of the skin at `at`: pixels that differ from the
// skin where it is opaque (outside the lines and bars, which change), and
// key-coloured pixels where it is not (the shape must let the desktop show).
struct SkinOnScreen {
  int wrong = 0;
  int keyShown = 0;
};
SkinOnScreen CompareSkin(const QImage& screen, const QPoint& at, const QImage& skin) {
  SkinOnScreen out;
  const QRect items(layout::kBarLeft - 1, 117, layout::kBarWidth + 2, 183 - 117);
  for (int y = 0; y < skin.height(); ++y) {
    for (int x = 0; x < skin.width(); ++x) {
      const QRgb shown = screen.pixel(at.x() + x, at.y() + y) & 0xFFFFFFu;
      const QRgb want = skin.pixel(x, y) & 0xFFFFFFu;
      if (want == layout::kSkinKeyColour) {
        out.keyShown += shown == layout::kSkinKeyColour ? 1 : 0;
      } else if (!items.contains(x, y) && shown != want) {
        ++out.wrong;
      }
    }
  }
  return out;
}

TEST_F(LauncherWaylandTest, JourneyOnHeadlessWeston) {
  WestonCompositor weston(runtimeDir_);
  ASSERT_TRUE(weston.ok()) << "weston did not come up";
  ServedInstall install(temp_.path() / "install", "1m");
  const auto env = weston.Environment();

  auto first = install.Start({}, env);
  ASSERT_TRUE(PollFor([&] { return weston.Toplevels("Launcher").size() == 1; }, 15s));
  const QRect window = weston.Toplevels("Launcher").front();
  EXPECT_EQ(window.size(), QSize(230, 200));

  // The skin shows in its shape: exactly its opaque pixels, and the desktop
  // through its key-coloured ones.
  const QImage skin = QImage(
      QString::fromStdString((fs::path(LAUNCHER_SOURCE_DIR) / "resources/launcher.bmp").string()));
  SkinOnScreen shown;
  QImage screen;
  EXPECT_TRUE(PollFor(
      [&] {
        screen = weston.Screenshot();
        if (screen.isNull()) return false;
        shown = CompareSkin(screen, window.topLeft(), skin);
        return shown.wrong == 0 && shown.keyShown == 0;
      },
      5s))
      << shown.wrong << " skin pixels wrong, " << shown.keyShown << " key pixels shown";
  if (!screen.isNull())
    screen.save(QStringLiteral(LAUNCHER_BINARY_DIR "/tests/ui/weston-journey.png"));

  // A second start asks the first to come forward (with the token a
  // desktop gave it) and ends; Weston offers no activation, so the window
  // stays where it is.
  auto second = install.Start({}, [&] {
    auto e = env;
    e["XDG_ACTIVATION_TOKEN"] = "test-token-1";
    return e;
  }());
  EXPECT_EQ(second->WaitForExit(10s), 0);
  EXPECT_EQ(weston.Toplevels("Launcher").size(), 1u) << "no second window";

  // The update runs to its end and the patcher takes over.
  EXPECT_EQ(first->WaitForExit(60s), 0);
  EXPECT_TRUE(PollFor([&] { return weston.Toplevels("Launcher").empty(); }, 5s));
  EXPECT_EQ(install.Installed(), install.release());
  EXPECT_EQ(install.PatcherStarts(), std::vector<std::string>{"/update"});
}

TEST_F(LauncherWaylandTest, DragByTheBodyIsTheCompositorsMove) {
  XvfbServer xvfb(WestonCompositor::kWidth, WestonCompositor::kHeight);
  if (!xvfb.ok()) GTEST_SKIP() << "Xvfb is not available";
  WestonCompositor weston(runtimeDir_, xvfb.display());
  ASSERT_TRUE(weston.ok()) << "weston did not come up";
  ServedInstall install(temp_.path() / "install", "1m");
  // A running patcher: in "/update" mode the launcher waits for it with its
  // window up.
  setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
  const auto patcherLock = NamedLock::TryAcquire("QuillmerePatcherExist");
  ASSERT_NE(patcherLock, nullptr);

  auto launcher = install.Start({"/update"}, weston.Environment());
  ASSERT_TRUE(PollFor([&] { return weston.Toplevels("Launcher").size() == 1; }, 15s));
  std::this_thread::sleep_for(300ms);
  const QRect start = weston.Toplevels("Launcher").front();

  // Weston follows the X pointer's motion, not its place: pushed into the
  // corner first, both stand at 0,0.
  const QPoint grip = start.topLeft() + QPoint(120, 60);
  const QPoint to = grip + QPoint(-70, -40);
  ASSERT_TRUE(RunXdotool(xvfb.display(), {"mousemove",
                                          "0",
                                          "0",
                                          "sleep",
                                          "0.2",
                                          "mousemove",
                                          std::to_string(grip.x()),
                                          std::to_string(grip.y()),
                                          "sleep",
                                          "0.3",
                                          "mousedown",
                                          "1",
                                          "sleep",
                                          "0.3",
                                          "mousemove",
                                          std::to_string(grip.x() - 30),
                                          std::to_string(grip.y() - 20),
                                          "sleep",
                                          "0.2",
                                          "mousemove",
                                          std::to_string(to.x()),
                                          std::to_string(to.y()),
                                          "sleep",
                                          "0.3",
                                          "mouseup",
                                          "1"}));
  EXPECT_TRUE(PollFor(
      [&] {
        const auto now = weston.Toplevels("Launcher");
        return now.size() == 1 && now.front().topLeft() == start.topLeft() + (to - grip);
      },
      3s));
  EXPECT_TRUE(launcher->running()) << "a drag is not a close";
}

}  // namespace
}  // namespace launcher::testing
