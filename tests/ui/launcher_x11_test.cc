// The launcher program on a real X server: the window's class, title, place
// and shape as other programs see them, the single instance, and closing by
// a click. Starts its own Xvfb; skipped when Xvfb is not installed.
#include <QImage>
#include <QString>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "platform/named_lock.h"
#include "support/temp_dir.h"
#include "x11_session.h"

// Xlib defines macros (Status, CursorShape, None...) that clash with Qt and
// gtest: include it last.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>

namespace launcher::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kScreenWidth = 1024;
constexpr int kScreenHeight = 768;

struct DisplayCloser {
  void operator()(Display* d) const { XCloseDisplay(d); }
};

bool HasClass(Display* dpy, Window w, const char* cls) {
  XClassHint hint{};
  if (XGetClassHint(dpy, w, &hint) == 0) return false;
  const bool match = hint.res_class != nullptr && std::string(hint.res_class) == cls;
  if (hint.res_name != nullptr) XFree(hint.res_name);
  if (hint.res_class != nullptr) XFree(hint.res_class);
  return match;
}

std::string Title(Display* dpy, Window w) {
  char* name = nullptr;
  if (XFetchName(dpy, w, &name) == 0 || name == nullptr) return {};
  std::string out(name);
  XFree(name);
  return out;
}

// Top-level windows, bottom of the stack first.
std::vector<Window> TopLevels(Display* dpy) {
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned count = 0;
  std::vector<Window> out;
  if (XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &children, &count) != 0) {
    out.assign(children, children + count);
    if (children != nullptr) XFree(children);
  }
  return out;
}

bool Viewable(Display* dpy, Window w) {
  XWindowAttributes a{};
  return XGetWindowAttributes(dpy, w, &a) != 0 && a.map_state == IsViewable;
}

std::vector<Window> LauncherWindows(Display* dpy) {
  std::vector<Window> out;
  for (Window w : TopLevels(dpy)) {
    if (Viewable(dpy, w) && HasClass(dpy, w, "QuillmereLauncherClass") &&
        Title(dpy, w) == "Launcher") {
      out.push_back(w);
    }
  }
  return out;
}

int StackIndex(Display* dpy, Window w) {
  const std::vector<Window> all = TopLevels(dpy);
  for (std::size_t i = 0; i < all.size(); ++i)
    if (all[i] == w) return static_cast<int>(i);
  return -1;
}

template <typename Pred>
bool PollFor(Pred pred, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

void SendButton(Display* dpy, Window w, int type, int x, int y) {
  XEvent e{};
  e.xbutton.type = type;
  e.xbutton.display = dpy;
  e.xbutton.window = w;
  e.xbutton.root = DefaultRootWindow(dpy);
  e.xbutton.subwindow = None;
  e.xbutton.time = CurrentTime;
  e.xbutton.x = x;
  e.xbutton.y = y;
  XWindowAttributes a{};
  XGetWindowAttributes(dpy, w, &a);
  e.xbutton.x_root = a.x + x;
  e.xbutton.y_root = a.y + y;
  e.xbutton.button = Button1;
  e.xbutton.state = type == ButtonRelease ? Button1Mask : 0;
  e.xbutton.same_screen = True;
  XSendEvent(dpy, w, True, type == ButtonPress ? ButtonPressMask : ButtonReleaseMask, &e);
  XFlush(dpy);
}

void Click(Display* dpy, Window w, int x, int y) {
  SendButton(dpy, w, ButtonPress, x, y);
  std::this_thread::sleep_for(30ms);
  SendButton(dpy, w, ButtonRelease, x, y);
}

class LauncherX11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    xvfb_ = std::make_unique<XvfbServer>(kScreenWidth, kScreenHeight);
    if (!xvfb_->ok()) GTEST_SKIP() << "Xvfb is not available";
    launcherDir_ = MakeInstallLayout(temp_.path());
    fs::copy_file(fs::path(LAUNCHER_BINARY_DIR) / "src/app/launcher", launcherDir_ / "launcher");
    fs::copy_file(fs::path(LAUNCHER_SOURCE_DIR) / "resources/launcher.bmp",
                  launcherDir_ / "launcher.bmp");
    runtimeDir_ = temp_.path() / "run";
    fs::create_directory(runtimeDir_);
    fs::permissions(runtimeDir_, fs::perms::owner_all);
    // The lock of a running patcher: a launcher in "/update" mode then waits
    // for it instead of handing off at once, so its window stays up.
    setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
    patcherLock_ = NamedLock::TryAcquire("QuillmerePatcherExist");
    dpy_.reset(XOpenDisplay(xvfb_->display().c_str()));
    ASSERT_NE(dpy_, nullptr);
  }

  std::unique_ptr<ChildProcess> StartLauncher(const std::vector<std::string>& args) {
    // Started from another directory: the launcher must find its files
    // next to its executable.
    return std::make_unique<ChildProcess>(
        (launcherDir_ / "launcher").string(), args, temp_.path().string(),
        std::map<std::string, std::string>{{"DISPLAY", xvfb_->display()},
                                           {"XDG_RUNTIME_DIR", runtimeDir_.string()},
                                           {"QT_QPA_PLATFORM", ""}});
  }

  std::unique_ptr<XvfbServer> xvfb_;
  TempDir temp_;
  fs::path launcherDir_;
  fs::path runtimeDir_;
  std::unique_ptr<NamedLock> patcherLock_;
  std::unique_ptr<Display, DisplayCloser> dpy_;
};

TEST_F(LauncherX11Test, WindowIsFoundCentredAndShapedBySkin) {
  const auto start = std::chrono::steady_clock::now();
  auto launcher = StartLauncher({"/update"});
  Display* dpy = dpy_.get();
  ASSERT_TRUE(PollFor([&] { return LauncherWindows(dpy).size() == 1; }, 15s));
  const auto mapped = std::chrono::steady_clock::now() - start;
  std::cout << "[ measure ] start to mapped window: "
            << std::chrono::duration_cast<std::chrono::milliseconds>(mapped).count() << " ms\n";
  const Window w = LauncherWindows(dpy).front();

  XWindowAttributes a{};
  ASSERT_NE(XGetWindowAttributes(dpy, w, &a), 0);
  EXPECT_EQ(a.width, 230);
  EXPECT_EQ(a.height, 200);
  EXPECT_EQ(a.x, (kScreenWidth - 230) / 2);
  EXPECT_EQ(a.y, (kScreenHeight - 200) / 2);

  // The bounding shape covers exactly the pixels of the skin that are not
  // magenta.
  int count = 0, ordering = 0;
  XRectangle* rects = XShapeGetRectangles(dpy, w, ShapeBounding, &count, &ordering);
  ASSERT_NE(rects, nullptr);
  const QImage skin(QString::fromStdString((launcherDir_ / "launcher.bmp").string()));
  ASSERT_EQ(skin.size(), QSize(230, 200));
  int mismatches = 0;
  for (int y = 0; y < 200; ++y) {
    for (int x = 0; x < 230; ++x) {
      bool inside = false;
      for (int i = 0; i < count && !inside; ++i) {
        inside = x >= rects[i].x && x < rects[i].x + rects[i].width && y >= rects[i].y &&
                 y < rects[i].y + rects[i].height;
      }
      const bool opaque = (skin.pixel(x, y) & 0xFFFFFFu) != 0xFF00FFu;
      if (inside != opaque) ++mismatches;
    }
  }
  XFree(rects);
  EXPECT_EQ(mismatches, 0);
  EXPECT_TRUE(launcher->running());
}

TEST_F(LauncherX11Test, SecondLauncherRaisesTheFirstAndEnds) {
  auto first = StartLauncher({"/update"});
  Display* dpy = dpy_.get();
  ASSERT_TRUE(PollFor([&] { return LauncherWindows(dpy).size() == 1; }, 15s));
  const Window w = LauncherWindows(dpy).front();

  // Cover the launcher with another window.
  const Window cover =
      XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, kScreenWidth, kScreenHeight, 0, 0, 0);
  XMapRaised(dpy, cover);
  XSync(dpy, False);
  ASSERT_LT(StackIndex(dpy, w), StackIndex(dpy, cover));

  auto second = StartLauncher({"FullCheck"});
  EXPECT_EQ(second->WaitForExit(10s), 0) << "the second launcher ends by itself";
  EXPECT_TRUE(PollFor([&] { return StackIndex(dpy, w) > StackIndex(dpy, cover); }, 5s))
      << "the first launcher's window came to the front";
  EXPECT_EQ(LauncherWindows(dpy).size(), 1u) << "no second window";
  EXPECT_TRUE(first->running());
}

TEST_F(LauncherX11Test, ClickOnTheCloseSpotEndsTheLauncher) {
  auto launcher = StartLauncher({"/update"});
  Display* dpy = dpy_.get();
  ASSERT_TRUE(PollFor([&] { return LauncherWindows(dpy).size() == 1; }, 15s));
  const Window w = LauncherWindows(dpy).front();
  std::this_thread::sleep_for(200ms);

  Click(dpy, w, 120, 60);  // the body: a drag, not a close
  EXPECT_EQ(launcher->WaitForExit(700ms), -1) << "still running";

  Click(dpy, w, 203, 32);
  EXPECT_EQ(launcher->WaitForExit(5s), 0);
  EXPECT_TRUE(PollFor([&] { return LauncherWindows(dpy).empty(); }, 2s));
  // The lock went with the process: a new launcher runs as the first one.
  EXPECT_FALSE(NamedLock::IsHeld("QuillmereLauncherExist"));
}

}  // namespace
}  // namespace launcher::testing
