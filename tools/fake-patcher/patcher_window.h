// The stand-in patcher's window: a small top-level X11 window with the class
// the launcher looks for ("QuillmerePatcherClass") and a title. Owned by
// main(); single-threaded.
#pragma once

#include <memory>
#include <string>

namespace fake_patcher {

class PatcherWindow {
 public:
  // Opens $DISPLAY and shows the window; null without a display.
  static std::unique_ptr<PatcherWindow> Show(const std::string& title);
  ~PatcherWindow();
  PatcherWindow(const PatcherWindow&) = delete;
  PatcherWindow& operator=(const PatcherWindow&) = delete;

  // Descriptor to poll for events.
  int ConnectionFd() const;
  // Handles every queued event; false once the window was asked to close.
  bool HandleEvents();

 private:
  struct State;
  explicit PatcherWindow(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace fake_patcher
