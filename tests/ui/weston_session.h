// A Weston compositor private to one test, on a socket of its own in the
// test's XDG_RUNTIME_DIR: headless (no screen, no input), or nested in the
// test's own X server, where its output is a window and the X pointer
// (xdotool) is its seat's pointer. Started with its debugging interface, so
// that the test can read the scene (weston-debug scene-graph) and take
// screenshots (weston-screenshooter). Stopped, with the clients it started
// itself (its shell, its keyboard), when the object goes away.
#pragma once

#include <QImage>
#include <QRect>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "x11_session.h"

namespace launcher::testing {

class WestonCompositor {
 public:
  static constexpr int kWidth = 1024;
  static constexpr int kHeight = 768;

  // `runtimeDir` must exist with mode 0700. With an `x11Display` Weston
  // runs nested in it (its output window at 0,0), else headless.
  explicit WestonCompositor(const std::filesystem::path& runtimeDir,
                            const std::string& x11Display = {});
  // False when weston is missing (the test skips) or did not come up.
  bool ok() const { return ok_; }
  static bool Installed();

  // What a client needs to find this compositor and nothing else:
  // WAYLAND_DISPLAY, XDG_RUNTIME_DIR, and DISPLAY left empty.
  std::map<std::string, std::string> Environment() const;

  // The rectangles, in the compositor's space, of the top-level windows
  // titled `title`.
  std::vector<QRect> Toplevels(const std::string& title) const;
  // The output as the compositor shows it; null on failure.
  QImage Screenshot() const;

 private:
  // Runs one of Weston's client tools against this compositor in the
  // scratch directory; its standard output.
  std::string RunClient(const std::string& tool) const;

  std::filesystem::path runtimeDir_;
  std::string socket_;
  std::unique_ptr<ChildProcess> process_;
  bool ok_ = false;
};

}  // namespace launcher::testing
