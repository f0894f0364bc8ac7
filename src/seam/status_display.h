// The seam between the update engine and the launcher window.
//
// The worker never touches widgets: it calls the guarded free functions
// below, which pass a cancel check point and forward to the process-wide
// StatusDisplay, g_launcherWindow. The Qt window implements StatusDisplay by
// storing the value under a lock and posting a repaint of just that item to
// the GUI thread; tests implement it with a recorder.
//
// The rule for an implementation. All calls come from the worker thread.
//   - The four setters run inside a guarded section: while one runs, the
//     window's close handler waits for it (RunCloseHandshake). They must
//     never wait on the GUI thread (no blocking queued call, no lock the GUI
//     thread holds while it waits for the worker), or a close deadlocks.
//     Store the value, queue a repaint, return.
//   - HideForHandOff and RequestClose run outside any guarded section and
//     may wait for the GUI thread; RequestClose returns only once the window
//     has handled the close.
//   - UpdateMode is read once, at the start of the worker; it must not
//     change while the worker runs.
// The display is owned by whoever set g_launcherWindow and must outlive the
// worker.
#pragma once

#include <cstdint>
#include <string_view>

namespace launcher {

class StatusDisplay {
 public:
  virtual ~StatusDisplay() = default;
  // Upper text line: what the launcher is doing.
  virtual void SetStatusText(std::u16string_view text) = 0;
  // Lower text line: the item in hand, or a second message line.
  virtual void SetDetailText(std::u16string_view text) = 0;
  // Upper bar, percent of the whole pass.
  virtual void SetTotalProgress(int percent) = 0;
  // Lower bar, percent of the current transfer or file operation.
  virtual void SetFileProgress(int percent) = 0;
  // Hides the window once, just before the patcher is started.
  virtual void HideForHandOff() = 0;
  // Asks the window to close and returns once the window has handled it.
  // Called by the worker as its very last action.
  virtual void RequestClose() = 0;
  // True when the launcher was started with "/update".
  virtual bool UpdateMode() const = 0;
};

// The one display of the process. Set by the window (or a test) before the
// worker starts and never cleared while the worker can run. May be null:
// the guarded functions then only pass their check points.
extern StatusDisplay* g_launcherWindow;

// The pause after an outcome message, so the player can read it.
inline constexpr std::uint32_t kOutcomePauseMs = 300;

// Each of these is one guarded section (EnterCancelPoint ... LeaveCancelPoint):
// a call after the window asked to close ends the worker without drawing.
void SetStatusText(std::u16string_view text);
void SetDetailText(std::u16string_view text);
void SetTotalProgress(int percent);
void SetFileProgress(int percent);

// The lower bar from inside a guarded section the worker already holds (the
// compression of an installed file): draws without a check point of its own,
// so the section stays whole. The window cannot go away meanwhile, since the
// close handshake waits for the section to end.
void SetFileProgressInGuardedSection(int percent);

}  // namespace launcher
