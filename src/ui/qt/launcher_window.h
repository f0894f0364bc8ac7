// The launcher's only window: borderless, shaped and painted by the skin,
// with two status lines and two progress bars, dragged by its body and closed
// by its close spot, Escape, Enter or the window manager's close command.
//
// Threads: the window lives on the GUI thread and is created, initialised,
// closed and destroyed there. It also owns the one worker thread, started by
// Initialise, which reaches it only through the StatusDisplay operations.
// Those store the value under a lock and ask the GUI thread for a repaint of
// just that item (queued, never waiting on the GUI thread); HideForHandOff
// and RequestClose wait until the GUI thread has carried them out, which is
// safe because the worker calls them outside any guarded section.
//
// Lifetime: every way of closing runs the close handshake first, so once the
// window has closed the worker can no longer start a guarded section. The
// destructor joins the worker; a caller that cannot wait for a worker stuck
// in a transfer must end the process instead of destroying the window.
#pragma once

#include <QElapsedTimer>
#include <QFont>
#include <QPoint>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <functional>
#include <string_view>
#include <thread>

#include "seam/status_display.h"
#include "ui/qt/skin.h"
#include "ui/status_state.h"

namespace launcher {

class LauncherWindow final : public QWidget, public StatusDisplay {
 public:
  // The worker's thread function; receives the address of the window's
  // full-check flag. WorkerCancelled escaping it ends the thread quietly.
  using WorkerEntry = std::function<int(const int* fullCheck)>;

  // Makes this window g_launcherWindow. fullCheck and updateMode are the
  // command-line switches, 0 or 1.
  LauncherWindow(int fullCheck, int updateMode, QWidget* parent = nullptr);
  ~LauncherWindow() override;
  LauncherWindow(const LauncherWindow&) = delete;
  LauncherWindow& operator=(const LauncherWindow&) = delete;

  // Sets the icon, loads the skin and applies its shape, centres the window
  // on the primary screen, loads "stringtab.txt" and starts `worker` (none:
  // no worker). Call once, before show().
  void Initialise(WorkerEntry worker);

  // Shows the window in its normal state and in front of the others, also
  // after it was hidden for the hand-off. GUI thread.
  void BringToFront();

  // Called on the GUI thread once a close has passed the handshake.
  void SetClosedCallback(std::function<void()> callback) { closedCallback_ = std::move(callback); }
  bool IsClosed() const { return closed_; }

  // Waits up to `timeout` for the worker thread to end and joins it. True
  // when no worker runs any more.
  bool JoinWorker(std::chrono::milliseconds timeout);

  // StatusDisplay; any thread.
  void SetStatusText(std::u16string_view text) override;
  void SetDetailText(std::u16string_view text) override;
  void SetTotalProgress(int percent) override;
  void SetFileProgress(int percent) override;
  void HideForHandOff() override;
  void RequestClose() override;
  bool UpdateMode() const override { return updateMode_ != 0; }

  // What the window shows now (tests and diagnostics).
  StatusState::Values CurrentValues() const { return state_.Read(); }
  const SkinImages& Images() const { return images_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void PostRepaint();
  void RepaintChanged();
  // Runs `task` on the GUI thread and returns when it has run (at once when
  // called there). Skipped once the window is closing.
  void RunOnGuiThread(const std::function<void()>& task);

  int fullCheck_;
  int updateMode_;
  SkinImages images_;
  QFont statusFont_;
  QFont detailFont_;
  StatusState state_;
  QElapsedTimer lastRepaint_;

  bool pressOnCloseSpot_ = false;
  bool manualDrag_ = false;
  QPoint dragOffset_;

  bool closed_ = false;
  std::function<void()> closedCallback_;

  std::thread worker_;
  std::atomic<bool> workerDone_{false};
};

}  // namespace launcher
