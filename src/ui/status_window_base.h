// What the Qt and the Win32 launcher window share besides the drawing: the
// StatusDisplay setters, which fill the shared status state, and the one
// worker thread the window owns. Each window derives from it, draws the state
// its own way and says how a repaint is requested (PostRepaint).
//
// Threads: the window thread constructs the window, starts the worker
// (StartWorker), joins it and destroys the window. The four setters are
// called by the worker: they store the value in the status state (one short
// lock) and, when no repaint request is outstanding, call PostRepaint on the
// worker's thread, which must only post and never wait for the window
// thread. UpdateMode never changes.
//
// Lifetime: the constructor makes the window g_launcherWindow. A derived
// window calls EndWorker first in its destructor, so the worker is joined
// and g_launcherWindow cleared while the derived parts the worker reaches
// (PostRepaint) are still whole; this destructor does it again as a last
// resort.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string_view>
#include <thread>

#include "seam/status_display.h"
#include "ui/status_state.h"

namespace launcher {

class StatusWindowBase : public StatusDisplay {
 public:
  // The worker's thread function; receives the address of the window's
  // full-check flag. WorkerCancelled escaping it ends the thread quietly.
  using WorkerEntry = std::function<int(const int* fullCheck)>;

  StatusWindowBase(const StatusWindowBase&) = delete;
  StatusWindowBase& operator=(const StatusWindowBase&) = delete;

  // Waits up to `timeout` for the worker thread to end and joins it. True
  // when no worker runs any more. Window thread.
  bool JoinWorker(std::chrono::milliseconds timeout);

  // StatusDisplay setters; any thread (the worker's).
  void SetStatusText(std::u16string_view text) final;
  void SetDetailText(std::u16string_view text) final;
  void SetTotalProgress(int percent) final;
  void SetFileProgress(int percent) final;
  bool UpdateMode() const final { return updateMode_ != 0; }

  // What the window shows now (tests and diagnostics).
  StatusState::Values CurrentValues() const { return state_.Read(); }

 protected:
  // fullCheck and updateMode are the command-line switches, 0 or 1.
  StatusWindowBase(int fullCheck, int updateMode);
  ~StatusWindowBase() override;

  // Starts `worker` on the window's worker thread (empty: no worker). Once.
  void StartWorker(WorkerEntry worker);
  // Joins the worker, however long it takes, and clears g_launcherWindow
  // when it is this window. Window thread.
  void EndWorker();

  // Asks the window thread to repaint the changed items, which it takes
  // from the state. Called on the worker's thread; must never wait for the
  // window thread.
  virtual void PostRepaint() = 0;

  StatusState& State() { return state_; }
  const StatusState& State() const { return state_; }

 private:
  int fullCheck_;
  const int updateMode_;
  StatusState state_;
  std::thread worker_;
  std::atomic<bool> workerDone_{true};
};

}  // namespace launcher
