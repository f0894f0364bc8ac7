// The launcher program on a real X server: the window's class, title, place
// and shape as other programs see them, the single instance, and closing by
// a click; then the same under real window managers (openbox, and xfwm4
// with focus-stealing prevention): raising over a window the user works in,
// and dragging through the window manager's own move. Starts its own Xvfb
// (skipped when Xvfb is not installed) and window manager.
#include <QImage>
#include <QString>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <thread>
#include <utility>

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/named_lock.h"
#include "support/temp_dir.h"
#include "x11_session.h"

// Xlib defines macros (Status, CursorShape, None...) that clash with Qt and
// gtest: include it last.
#include <X11/Xatom.h>
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

// A window list the window manager keeps on the root window
// (_NET_CLIENT_LIST, _NET_ACTIVE_WINDOW); empty on a bare server.
std::vector<Window> RootList(Display* dpy, const char* property) {
  Atom type = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  std::vector<Window> out;
  if (XGetWindowProperty(dpy, DefaultRootWindow(dpy), XInternAtom(dpy, property, False), 0, 4096,
                         False, XA_WINDOW, &type, &format, &items, &after, &data) == Success &&
      data != nullptr) {
    if (format == 32) {
      const auto* ids = reinterpret_cast<const unsigned long*>(data);
      out.assign(ids, ids + items);
    }
    XFree(data);
  }
  return out;
}

Window ActiveWindow(Display* dpy) {
  const std::vector<Window> active = RootList(dpy, "_NET_ACTIVE_WINDOW");
  return active.empty() ? None : active.front();
}

// The launcher's viewable windows: children of the root on a bare server,
// the window manager's clients otherwise.
std::vector<Window> LauncherWindows(Display* dpy) {
  std::vector<Window> candidates = TopLevels(dpy);
  for (Window w : RootList(dpy, "_NET_CLIENT_LIST")) candidates.push_back(w);
  std::vector<Window> out;
  for (Window w : candidates) {
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

struct Point {
  int x;
  int y;
  bool operator==(const Point&) const = default;
};

Point RootPosition(Display* dpy, Window w) {
  int x = 0, y = 0;
  Window child = None;
  XTranslateCoordinates(dpy, w, DefaultRootWindow(dpy), 0, 0, &x, &y, &child);
  return {x, y};
}

// The top-level window that holds `w`: the window manager's frame, or `w`.
Window FrameOf(Display* dpy, Window w) {
  for (;;) {
    Window root = None, parent = None;
    Window* children = nullptr;
    unsigned count = 0;
    if (XQueryTree(dpy, w, &root, &parent, &children, &count) == 0) return w;
    if (children != nullptr) XFree(children);
    if (parent == root || parent == None) return w;
    w = parent;
  }
}

// Where the frame of a managed window stands among the root's children
// (higher is nearer the front); -1 while the window is not managed.
int ManagedStackIndex(Display* dpy, Window w) {
  const std::vector<Window> clients = RootList(dpy, "_NET_CLIENT_LIST");
  if (std::find(clients.begin(), clients.end(), w) == clients.end()) return -1;
  return StackIndex(dpy, FrameOf(dpy, w));
}

// Pixels of the skin where the bounding shape of `w` (relative to `origin`
// inside it) and the skin's opaque part disagree.
int ShapeMismatches(Display* dpy, Window w, Point origin, const QImage& skin) {
  int count = 0, ordering = 0;
  XRectangle* rects = XShapeGetRectangles(dpy, w, ShapeBounding, &count, &ordering);
  if (rects == nullptr) return -1;
  int mismatches = 0;
  for (int y = 0; y < skin.height(); ++y) {
    for (int x = 0; x < skin.width(); ++x) {
      bool inside = false;
      for (int i = 0; i < count && !inside; ++i) {
        const int fx = x + origin.x, fy = y + origin.y;
        inside = fx >= rects[i].x && fx < rects[i].x + rects[i].width && fy >= rects[i].y &&
                 fy < rects[i].y + rects[i].height;
      }
      const bool opaque = (skin.pixel(x, y) & 0xFFFFFFu) != 0xFF00FFu;
      if (inside != opaque) ++mismatches;
    }
  }
  XFree(rects);
  return mismatches;
}

// What the screen shows of `w` where its bounding shape lets it show:
// the device pixels inside the shape, and how many of them carry the skin's
// key colour.
struct ShapedPixels {
  int inside = 0;
  int key = 0;
};
ShapedPixels PixelsInShape(Display* dpy, Window w) {
  ShapedPixels out;
  XWindowAttributes a{};
  int count = 0, ordering = 0;
  if (XGetWindowAttributes(dpy, w, &a) == 0) return out;
  XRectangle* rects = XShapeGetRectangles(dpy, w, ShapeBounding, &count, &ordering);
  XImage* image = XGetImage(dpy, w, 0, 0, static_cast<unsigned>(a.width),
                            static_cast<unsigned>(a.height), AllPlanes, ZPixmap);
  if (rects != nullptr && image != nullptr) {
    for (int i = 0; i < count; ++i) {
      for (int y = rects[i].y; y < rects[i].y + rects[i].height; ++y) {
        for (int x = rects[i].x; x < rects[i].x + rects[i].width; ++x) {
          ++out.inside;
          if ((XGetPixel(image, x, y) & 0xFFFFFFu) == 0xFF00FFu) ++out.key;
        }
      }
    }
  }
  if (image != nullptr) XDestroyImage(image);
  if (rects != nullptr) XFree(rects);
  return out;
}

// The server's time now, from the notification of a property change on `w`.
Time ServerTime(Display* dpy, Window w) {
  XSelectInput(dpy, w, PropertyChangeMask);
  const Atom probe = XInternAtom(dpy, "_TEST_TIME_PROBE", False);
  XChangeProperty(dpy, w, probe, XA_STRING, 8, PropModeAppend, nullptr, 0);
  XSync(dpy, False);
  XEvent e{};
  for (int i = 0; i < 200; ++i) {
    if (XCheckTypedWindowEvent(dpy, w, PropertyNotify, &e) != 0 && e.xproperty.atom == probe)
      return e.xproperty.time;
    std::this_thread::sleep_for(10ms);
  }
  return CurrentTime;
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

  std::unique_ptr<ChildProcess> StartLauncher(const std::vector<std::string>& args,
                                              std::map<std::string, std::string> env = {}) {
    // Started from another directory: the launcher must find its files
    // next to its executable.
    env.insert({{"DISPLAY", xvfb_->display()},
                {"XDG_RUNTIME_DIR", runtimeDir_.string()},
                {"QT_QPA_PLATFORM", ""}});
    return std::make_unique<ChildProcess>((launcherDir_ / "launcher").string(), args,
                                          temp_.path().string(), env);
  }
  QImage Skin() const {
    return QImage(QString::fromStdString((launcherDir_ / "launcher.bmp").string()));
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
  const QImage skin = Skin();
  ASSERT_EQ(skin.size(), QSize(230, 200));
  const int mismatches = ShapeMismatches(dpy, w, {0, 0}, skin);
  EXPECT_EQ(mismatches, 0);
  EXPECT_TRUE(launcher->running());
}

// The startup-notification messages sent to the root window so far, each
// put together from its 20-byte pieces.
std::vector<std::string> StartupMessages(Display* dpy) {
  const Atom begin = XInternAtom(dpy, "_NET_STARTUP_INFO_BEGIN", False);
  const Atom more = XInternAtom(dpy, "_NET_STARTUP_INFO", False);
  std::vector<std::string> messages;
  std::map<Window, std::string> partial;
  XSync(dpy, False);
  XEvent e{};
  while (XCheckTypedEvent(dpy, ClientMessage, &e) != 0) {
    if (e.xclient.message_type != begin && e.xclient.message_type != more) continue;
    std::string& text = partial[e.xclient.window];
    if (e.xclient.message_type == begin) text.clear();
    const std::string piece(e.xclient.data.b, 20);
    const std::size_t end = piece.find('\0');
    text += piece.substr(0, end);
    if (end != std::string::npos) messages.push_back(std::exchange(text, {}));
  }
  return messages;
}

// A second start brings the first launcher's window up and ends; the
// desktop that started it with a startup-notification id learns that the
// start is over.
TEST_F(LauncherX11Test, SecondLauncherRaisesTheFirstAndEnds) {
  auto first = StartLauncher({"/update"});
  Display* dpy = dpy_.get();
  ASSERT_TRUE(PollFor([&] { return LauncherWindows(dpy).size() == 1; }, 15s));
  const Window w = LauncherWindows(dpy).front();
  XSelectInput(dpy, DefaultRootWindow(dpy), PropertyChangeMask);

  // Cover the launcher with another window.
  const Window cover =
      XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, kScreenWidth, kScreenHeight, 0, 0, 0);
  XMapRaised(dpy, cover);
  XSync(dpy, False);
  ASSERT_LT(StackIndex(dpy, w), StackIndex(dpy, cover));

  auto second = StartLauncher({"FullCheck"}, {{"DESKTOP_STARTUP_ID", "menu-7 \"x\"_TIME1234"}});
  EXPECT_EQ(second->WaitForExit(10s), 0) << "the second launcher ends by itself";
  EXPECT_TRUE(PollFor([&] { return StackIndex(dpy, w) > StackIndex(dpy, cover); }, 5s))
      << "the first launcher's window came to the front";
  EXPECT_EQ(LauncherWindows(dpy).size(), 1u) << "no second window";
  EXPECT_TRUE(first->running());
  EXPECT_EQ(StartupMessages(dpy),
            std::vector<std::string>{"remove: ID=\"menu-7 \\\"x\\\"_TIME1234\""});
}

// On a high-DPI screen (Qt's scale factor 1.5 and 2) the window is the
// skin's size times the factor, centred, and its shape, set in device
// pixels, holds exactly the scaled skin: no key-coloured pixel shows, and
// none of the skin is cut.
TEST_F(LauncherX11Test, ScaledWindowShapeHoldsExactlyTheScaledSkin) {
  const QImage skin = Skin();
  int opaque = 0;
  for (int y = 0; y < skin.height(); ++y)
    for (int x = 0; x < skin.width(); ++x) opaque += (skin.pixel(x, y) & 0xFFFFFFu) != 0xFF00FFu;
  for (const char* factor : {"1.5", "2"}) {
    SCOPED_TRACE(factor);
    auto launcher = StartLauncher({"/update"}, {{"QT_SCALE_FACTOR", factor}});
    Display* dpy = dpy_.get();
    ASSERT_TRUE(PollFor([&] { return LauncherWindows(dpy).size() == 1; }, 15s));
    const Window w = LauncherWindows(dpy).front();
    const double f = std::stod(factor);
    XWindowAttributes a{};
    ASSERT_NE(XGetWindowAttributes(dpy, w, &a), 0);
    EXPECT_EQ(a.width, static_cast<int>(std::lround(230 * f)));
    EXPECT_EQ(a.height, static_cast<int>(std::lround(200 * f)));
    EXPECT_NEAR(a.x, (kScreenWidth - a.width) / 2, 1);
    // Painted: the status text of "/update" mode is up.
    std::this_thread::sleep_for(500ms);
    const ShapedPixels shown = PixelsInShape(dpy, w);
    EXPECT_EQ(shown.key, 0) << "key-coloured pixels inside the shape";
    EXPECT_NEAR(shown.inside, opaque * f * f, opaque * f * f * 0.02) << "the shape was cut";
    launcher.reset();
    ASSERT_TRUE(PollFor([&] { return LauncherWindows(dpy).empty(); }, 5s));
  }
}

// A Wayland session whose compositor cannot be reached, but that offers
// X11 too (Xwayland, $DISPLAY set): the launcher falls back to X11, also
// when the session asks every Qt program for Wayland.
TEST_F(LauncherX11Test, WaylandSessionWithoutItsCompositorFallsBackToX11) {
  auto launcher = StartLauncher({"/update"}, {{"QT_QPA_PLATFORM", "wayland"},
                                              {"XDG_SESSION_TYPE", "wayland"},
                                              {"WAYLAND_DISPLAY", "wayland-none"}});
  Display* dpy = dpy_.get();
  ASSERT_TRUE(PollFor([&] { return LauncherWindows(dpy).size() == 1; }, 15s));
  EXPECT_EQ(ShapeMismatches(dpy, LauncherWindows(dpy).front(), {0, 0}, Skin()), 0);
  EXPECT_TRUE(launcher->running());
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

// The same program under a real window manager.
class LauncherWmTest : public LauncherX11Test, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    LauncherX11Test::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (::access((std::string("/usr/bin/") + GetParam()).c_str(), X_OK) != 0)
      GTEST_SKIP() << GetParam() << " is not installed";
    fs::create_directories(temp_.path() / "wm");
    wm_ = std::make_unique<WindowManager>(GetParam(), xvfb_->display(),
                                          (temp_.path() / "wm").string());
    ASSERT_TRUE(wm_->ok()) << GetParam() << " did not take over the screen";
  }

  // Starts the launcher and waits until the window manager manages its
  // window.
  Window StartManagedLauncher(std::unique_ptr<ChildProcess>& launcher) {
    launcher = StartLauncher({"/update"});
    Display* dpy = dpy_.get();
    if (!PollFor([&] { return LauncherWindows(dpy).size() == 1; }, 15s)) return None;
    const Window w = LauncherWindows(dpy).front();
    return PollFor([&] { return ManagedStackIndex(dpy, w) >= 0; }, 5s) ? w : None;
  }

  std::unique_ptr<WindowManager> wm_;
};

// The user works in another window when a second launcher starts: the
// running launcher's window still comes to the front and gets the focus.
// xfwm4 here refuses every window that asks for focus by itself (focus-
// stealing prevention, and "do nothing" when a window raises itself), so
// only an activation on the user's behalf passes. The window's place
// (centred) and shape (the skin's opaque part, also on the window manager's
// frame) hold under the window manager.
TEST_P(LauncherWmTest, SecondStartRaisesTheFirstAboveTheWindowInUse) {
  std::unique_ptr<ChildProcess> first;
  Display* dpy = dpy_.get();
  const Window w = StartManagedLauncher(first);
  ASSERT_NE(w, None);
  EXPECT_TRUE(PollFor(
      [&] {
        return RootPosition(dpy, w) == Point{397, 284};
      },
      2s))
      << "centred: " << RootPosition(dpy, w).x << "," << RootPosition(dpy, w).y;
  const Window frame = FrameOf(dpy, w);
  const Point inFrame = {RootPosition(dpy, w).x - RootPosition(dpy, frame).x,
                         RootPosition(dpy, w).y - RootPosition(dpy, frame).y};
  EXPECT_EQ(ShapeMismatches(dpy, w, {0, 0}, Skin()), 0);
  EXPECT_EQ(ShapeMismatches(dpy, frame, inFrame, Skin()), 0) << "the frame takes the shape";

  // Another program's window opens over it, and the user works in it: a
  // click, and the time stamp a toolkit records for its user's input.
  const Window other = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, kScreenWidth,
                                           kScreenHeight, 0, 0, 0xFFFFFF);
  XStoreName(dpy, other, "Editor");
  XMapWindow(dpy, other);
  XSync(dpy, False);
  ASSERT_TRUE(PollFor([&] { return ActiveWindow(dpy) == other; }, 5s));
  ASSERT_TRUE(RunXdotool(xvfb_->display(), {"mousemove", "60", "60", "click", "1"}));
  const long userTime = static_cast<long>(ServerTime(dpy, other));
  XChangeProperty(dpy, other, XInternAtom(dpy, "_NET_WM_USER_TIME", False), XA_CARDINAL, 32,
                  PropModeReplace, reinterpret_cast<const unsigned char*>(&userTime), 1);
  XSync(dpy, False);
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(ActiveWindow(dpy), other);
  ASSERT_GT(ManagedStackIndex(dpy, other), ManagedStackIndex(dpy, w));

  auto second = StartLauncher({});
  EXPECT_EQ(second->WaitForExit(10s), 0);
  EXPECT_TRUE(PollFor(
      [&] {
        return ActiveWindow(dpy) == w && ManagedStackIndex(dpy, w) > ManagedStackIndex(dpy, other);
      },
      5s))
      << "active " << ActiveWindow(dpy) << ", launcher " << w;
  EXPECT_TRUE(first->running());
}

// Dragging by the body hands the move to the window manager
// (_NET_WM_MOVERESIZE), and the window follows the pointer.
TEST_P(LauncherWmTest, DragByTheBodyMovesTheWindowThroughTheWindowManager) {
  std::unique_ptr<ChildProcess> launcher;
  Display* dpy = dpy_.get();
  const Window w = StartManagedLauncher(launcher);
  ASSERT_NE(w, None);
  std::this_thread::sleep_for(300ms);
  const Point start = RootPosition(dpy, w);
  XSelectInput(dpy, DefaultRootWindow(dpy), SubstructureNotifyMask);
  XSync(dpy, False);

  const auto at = [&](int dx, int dy) {
    return std::vector<std::string>{std::to_string(start.x + dx), std::to_string(start.y + dy)};
  };
  std::vector<std::string> drag = {"mousemove"};
  for (const auto& v : at(120, 60)) drag.push_back(v);
  drag.insert(drag.end(), {"sleep", "0.3", "mousedown", "1", "sleep", "0.3", "mousemove"});
  for (const auto& v : at(160, 80)) drag.push_back(v);
  drag.insert(drag.end(), {"sleep", "0.2", "mousemove"});
  for (const auto& v : at(220, 110)) drag.push_back(v);
  drag.insert(drag.end(), {"sleep", "0.3", "mouseup", "1"});
  ASSERT_TRUE(RunXdotool(xvfb_->display(), drag));

  const Point moved = {start.x + 100, start.y + 50};
  EXPECT_TRUE(PollFor([&] { return RootPosition(dpy, w) == moved; }, 3s))
      << RootPosition(dpy, w).x << "," << RootPosition(dpy, w).y;
  bool throughWindowManager = false;
  const Atom moveResize = XInternAtom(dpy, "_NET_WM_MOVERESIZE", False);
  XEvent e{};
  while (XCheckTypedEvent(dpy, ClientMessage, &e) != 0) {
    if (e.xclient.message_type == moveResize && e.xclient.window == w) throughWindowManager = true;
  }
  EXPECT_TRUE(throughWindowManager);
  EXPECT_TRUE(launcher->running()) << "a drag is not a close";
}

INSTANTIATE_TEST_SUITE_P(WindowManagers, LauncherWmTest, ::testing::Values("openbox", "xfwm4"),
                         [](const auto& p) { return std::string(p.param); });

}  // namespace
}  // namespace launcher::testing
