#include "wine_session.h"

#include <fstream>
#include <iostream>

#include "support/windows_build.h"

// Xlib's macros clash with Qt and gtest: included last.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>

namespace launcher::testing {
namespace fs = std::filesystem;

fs::path WindowsBuildFile(const std::string& program) {
  const fs::path file = WindowsBuildTree() / program;
  if (!fs::exists(file)) {
    std::cerr << file << " is missing: build the windows preset first (make windows)\n";
    return {};
  }
  return file;
}

namespace {
// Wine's windows come and go while a test looks at them: a request about
// one that has just gone fails, which is no reason to end the test program.
int IgnoreXErrors(Display*, XErrorEvent*) { return 0; }
}  // namespace

WineSession::WineSession(int width, int height) : xvfb_(width, height) {
  if (xvfb_.ok()) dpy_ = XOpenDisplay(xvfb_.display().c_str());
  XSetErrorHandler(IgnoreXErrors);
}

WineSession::~WineSession() {
  // Wine's desktop process of the prefix lives on this display: it goes
  // with the session, so the next session starts one on its own display.
  ChildProcess stop("/bin/sh", {"-c", "wineserver -k 2>/dev/null; wineserver -w 2>/dev/null; true"},
                    "/", {{"WINEPREFIX", Prefix().string()}});
  stop.WaitForExit(std::chrono::seconds(20));
  if (dpy_ != nullptr) XCloseDisplay(dpy_);
}

fs::path WineSession::Prefix() { return fs::path(LAUNCHER_BINARY_DIR) / "tests/ui/wine-prefix"; }

std::unique_ptr<ChildProcess> WineSession::Start(const fs::path& exe,
                                                 const std::vector<std::string>& args,
                                                 const fs::path& workingDir,
                                                 std::map<std::string, std::string> env) {
  std::vector<std::string> all = {exe.string()};
  all.insert(all.end(), args.begin(), args.end());
  env["DISPLAY"] = xvfb_.display();
  env["WINEPREFIX"] = Prefix().string();
  const std::string wineRun = (fs::path(LAUNCHER_SOURCE_DIR) / "scripts/wine-run").string();
  return std::make_unique<ChildProcess>(wineRun, all, workingDir.string(), env);
}

std::vector<XWindow> WineSession::WindowsTitled(const std::string& title, bool any) const {
  std::vector<XWindow> out;
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned count = 0;
  if (XQueryTree(dpy_, DefaultRootWindow(dpy_), &root, &parent, &children, &count) == 0) {
    return out;
  }
  for (unsigned i = 0; i < count; ++i) {
    char* name = nullptr;
    if (XFetchName(dpy_, children[i], &name) == 0 || name == nullptr) continue;
    const bool match = title == name;
    XFree(name);
    if (match && (any || Viewable(children[i]))) out.push_back(children[i]);
  }
  if (children != nullptr) XFree(children);
  return out;
}

bool WineSession::Viewable(XWindow w) const {
  XWindowAttributes a{};
  return XGetWindowAttributes(dpy_, w, &a) != 0 && a.map_state == IsViewable;
}

QRect WineSession::Geometry(XWindow w) const {
  XWindowAttributes a{};
  if (XGetWindowAttributes(dpy_, w, &a) == 0) return {};
  int x = 0, y = 0;
  Window child = 0;
  XTranslateCoordinates(dpy_, w, DefaultRootWindow(dpy_), 0, 0, &x, &y, &child);
  return {x, y, a.width, a.height};
}

QRegion WineSession::Shape(XWindow w) const {
  int count = 0, ordering = 0;
  XRectangle* rects = XShapeGetRectangles(dpy_, w, ShapeBounding, &count, &ordering);
  QRegion region;
  for (int i = 0; i < count; ++i) {
    region += QRect(rects[i].x, rects[i].y, rects[i].width, rects[i].height);
  }
  if (rects != nullptr) XFree(rects);
  return region;
}

QImage WineSession::Capture(XWindow w) const {
  const QRect g = Geometry(w);
  if (g.isEmpty()) return {};
  // From the root window: what the screen shows, whoever draws it.
  XImage* image =
      XGetImage(dpy_, DefaultRootWindow(dpy_), g.x(), g.y(), static_cast<unsigned>(g.width()),
                static_cast<unsigned>(g.height()), AllPlanes, ZPixmap);
  if (image == nullptr) return {};
  QImage out(g.width(), g.height(), QImage::Format_RGB32);
  for (int y = 0; y < g.height(); ++y) {
    for (int x = 0; x < g.width(); ++x) {
      out.setPixel(x, y, static_cast<QRgb>(XGetPixel(image, x, y) | 0xFF000000u));
    }
  }
  XDestroyImage(image);
  return out;
}

bool WineSession::Xdotool(const std::vector<std::string>& args) const {
  ChildProcess tool("/usr/bin/xdotool", args, "/", {{"DISPLAY", xvfb_.display()}});
  return tool.WaitForExit(std::chrono::seconds(20)) == 0;
}

std::vector<std::string> ReadLines(const fs::path& file) {
  std::vector<std::string> out;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
  }
  return out;
}

}  // namespace launcher::testing
