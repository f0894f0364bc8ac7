#include "platform/window_raise.h"

// gtest first: Xlib defines macros (None, Bool) that clash with its names.
#include <gtest/gtest.h>
// clang-format off
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
// clang-format on
#include <poll.h>

#include <filesystem>
#include <memory>
#include <string>

#include "integration/platform/patcher_record.h"
#include "integration/platform/scoped_env.h"
#include "integration/platform/xvfb_server.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::PatcherRecord;
using testing::ScopedEnv;
using testing::TempDir;
using testing::XvfbServer;

constexpr const char* kPatcherClass = "QuillmerePatcherClass";

// One window system for the whole suite; the stand-in patcher is started for
// each test, as the launcher starts it, and shows its window there.
class RaiseWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (XvfbServer::Available()) server_ = new XvfbServer();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    if (server_ == nullptr) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_FALSE(server_->display().empty()) << "Xvfb did not start";
    display_ = std::make_unique<ScopedEnv>("DISPLAY", server_->display().c_str());
    fs::create_directories(root_ / "run");
    fs::permissions(root_ / "run", fs::perms::owner_all);
    ScopedEnv xdg("XDG_RUNTIME_DIR", (root_ / "run").c_str());
    ScopedEnv record("FAKE_PATCHER_RECORD", (root_ / "record.txt").c_str());
    ScopedEnv seconds("FAKE_PATCHER_SECONDS", "30");
    ASSERT_TRUE(StartDetachedProcess(FAKE_PATCHER_EXE, {"/update"}, root_.path()));
    const auto records = testing::WaitForPatcherRecords(root_ / "record.txt", 1, 10s);
    ASSERT_EQ(records.size(), 1u);
    patcher_ = records[0];
    ASSERT_EQ(patcher_["window"], "yes");

    x_ = XOpenDisplay(server_->display().c_str());
    ASSERT_NE(x_, nullptr);
    root_window_ = DefaultRootWindow(x_);
    patcherWindow_ = FindByClass(kPatcherClass);
    ASSERT_NE(patcherWindow_, None);
  }

  void TearDown() override {
    if (x_ != nullptr) XCloseDisplay(x_);
    if (!patcher_.empty()) {
      EXPECT_TRUE(testing::StopPatcher(patcher_, 10s));
    }
  }

  // Top-level windows, bottom to top.
  std::vector<Window> TopLevel() {
    Window root = None;
    Window parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    XQueryTree(x_, root_window_, &root, &parent, &children, &count);
    std::vector<Window> list(children, children + count);
    if (children != nullptr) XFree(children);
    return list;
  }

  Window FindByClass(const std::string& cls) {
    for (Window w : TopLevel()) {
      XClassHint hint{nullptr, nullptr};
      if (XGetClassHint(x_, w, &hint) == 0) continue;
      const bool match = hint.res_class != nullptr && cls == hint.res_class;
      XFree(hint.res_name);
      XFree(hint.res_class);
      if (match) return w;
    }
    return None;
  }

  Window Topmost() {
    for (auto windows = TopLevel(); !windows.empty(); windows.pop_back()) {
      XWindowAttributes attrs{};
      if (XGetWindowAttributes(x_, windows.back(), &attrs) != 0 && attrs.map_state == IsViewable) {
        return windows.back();
      }
    }
    return None;
  }

  int MapState(Window w) {
    XWindowAttributes attrs{};
    XGetWindowAttributes(x_, w, &attrs);
    return attrs.map_state;
  }

  Window Cover() {
    Window cover = XCreateSimpleWindow(x_, root_window_, 0, 0, 640, 480, 0, 0, 0);
    XMapRaised(x_, cover);
    XSync(x_, False);
    return cover;
  }

  // Waits up to five seconds for an event that `want` accepts.
  template <typename Pred>
  bool WaitForEvent(Pred want) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
      while (XPending(x_) > 0) {
        XEvent event;
        XNextEvent(x_, &event);
        if (want(event)) return true;
      }
      pollfd pfd{ConnectionNumber(x_), POLLIN, 0};
      ::poll(&pfd, 1, 100);
    }
    return false;
  }

  static XvfbServer* server_;
  TempDir root_;
  std::unique_ptr<ScopedEnv> display_;
  PatcherRecord patcher_;
  Display* x_ = nullptr;
  Window root_window_ = None;
  Window patcherWindow_ = None;
};

XvfbServer* RaiseWindowTest::server_ = nullptr;

TEST_F(RaiseWindowTest, BringsThePatcherWindowAboveOthers) {
  const Window cover = Cover();
  ASSERT_EQ(Topmost(), cover);

  EXPECT_TRUE(RaiseWindowByClass(kPatcherClass));
  EXPECT_EQ(Topmost(), patcherWindow_);

  // The instance part of the class and the title select it as well.
  XRaiseWindow(x_, cover);
  XSync(x_, False);
  ASSERT_EQ(Topmost(), cover);
  EXPECT_TRUE(RaiseWindowByClass("patcher", "Patcher"));
  EXPECT_EQ(Topmost(), patcherWindow_);

  // Nothing matches: nothing moves.
  XRaiseWindow(x_, cover);
  XSync(x_, False);
  EXPECT_FALSE(RaiseWindowByClass(kPatcherClass, "Launcher"));
  EXPECT_FALSE(RaiseWindowByClass("QuillmereLauncherClass"));
  EXPECT_FALSE(RaiseWindowByClass("Quillmere"));
  EXPECT_EQ(Topmost(), cover);
}

TEST_F(RaiseWindowTest, ShowsAHiddenWindowAgain) {
  XUnmapWindow(x_, patcherWindow_);
  XSync(x_, False);
  ASSERT_EQ(MapState(patcherWindow_), IsUnmapped);

  EXPECT_TRUE(RaiseWindowByClass(kPatcherClass));
  EXPECT_EQ(MapState(patcherWindow_), IsViewable);
  EXPECT_EQ(Topmost(), patcherWindow_);
}

TEST_F(RaiseWindowTest, AsksTheWindowManagerToActivateAListedClient) {
  // Play the window manager: take the redirect on the root window and list
  // the patcher as a client.
  XSelectInput(x_, root_window_, SubstructureRedirectMask | SubstructureNotifyMask);
  const Atom clientList = XInternAtom(x_, "_NET_CLIENT_LIST", False);
  const Atom activeWindow = XInternAtom(x_, "_NET_ACTIVE_WINDOW", False);
  const long clients[] = {static_cast<long>(Cover()), static_cast<long>(patcherWindow_)};
  XChangeProperty(x_, root_window_, clientList, XA_WINDOW, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(clients), 2);
  XSync(x_, False);

  EXPECT_TRUE(RaiseWindowByClass(kPatcherClass));
  EXPECT_TRUE(WaitForEvent([&](const XEvent& e) {
    return e.type == ClientMessage && e.xclient.message_type == activeWindow &&
           e.xclient.window == patcherWindow_ && e.xclient.format == 32 && e.xclient.data.l[0] == 2;
  }));
}

TEST(RaiseWindowWithoutDisplayTest, DoesNothing) {
  {
    ScopedEnv display("DISPLAY", nullptr);
    EXPECT_FALSE(RaiseWindowByClass(kPatcherClass));
  }
  {
    ScopedEnv display("DISPLAY", ":64999");  // no server there
    EXPECT_FALSE(RaiseWindowByClass(kPatcherClass));
  }
}

}  // namespace
}  // namespace launcher
