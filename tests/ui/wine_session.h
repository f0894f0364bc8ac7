// Windows programs of the windows build run under Wine on a private Xvfb,
// seen from the X server: finding their top-level windows, reading a
// window's shape and pixels, and driving the real pointer with xdotool.
//
// The programs come from the windows build tree ($LAUNCHER_WINDOWS_BUILD_DIR,
// default build/windows of the source tree) and run through
// scripts/wine-run in a Wine prefix of their own (made on first use), whose
// desktop process lives on the session's display; the session's end stops
// that prefix's wineserver.
//
// Single-threaded; one WineSession at a time.
#pragma once

#include <QImage>
#include <QRegion>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "x11_session.h"

using Display = struct _XDisplay;
using XWindow = unsigned long;

namespace launcher::testing {

// The windows build tree; empty (and a message on stderr) when it lacks
// `program`, a path relative to the tree.
std::filesystem::path WindowsBuildFile(const std::string& program);

class WineSession {
 public:
  WineSession(int width, int height);
  ~WineSession();
  WineSession(const WineSession&) = delete;
  WineSession& operator=(const WineSession&) = delete;

  bool ok() const { return xvfb_.ok() && dpy_ != nullptr; }
  Display* display() const { return dpy_; }
  const std::string& displayName() const { return xvfb_.display(); }

  // Starts `exe` (a Windows program, by its Linux path) with `args` in
  // `workingDir` under Wine on this display; `env` is added.
  std::unique_ptr<ChildProcess> Start(const std::filesystem::path& exe,
                                      const std::vector<std::string>& args,
                                      const std::filesystem::path& workingDir,
                                      std::map<std::string, std::string> env = {});

  // Top-level X windows titled `title`; only mapped ones unless `any`.
  std::vector<XWindow> WindowsTitled(const std::string& title, bool any = false) const;
  bool Viewable(XWindow w) const;
  // The window's place on the screen (its top-left corner) and size.
  QRect Geometry(XWindow w) const;
  // The bounding shape in window coordinates (the whole window when it has
  // none).
  QRegion Shape(XWindow w) const;
  // The window's pixels as the screen shows them, RGB32.
  QImage Capture(XWindow w) const;

  // Runs xdotool with `args` on this display and waits for it. True when it
  // succeeded.
  bool Xdotool(const std::vector<std::string>& args) const;

  // The private Wine prefix of these tests.
  static std::filesystem::path Prefix();

 private:
  XvfbServer xvfb_;
  Display* dpy_ = nullptr;
};

template <typename Pred>
bool PollFor(Pred pred, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return true;
}

// The lines of a small text file; empty when it does not exist.
std::vector<std::string> ReadLines(const std::filesystem::path& file);

}  // namespace launcher::testing
