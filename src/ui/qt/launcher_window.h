// The launcher's only window: borderless, shaped and painted by the skin,
// with two status lines and two progress bars, dragged by its body and closed
// by its close spot, Escape, Enter or the window manager's close command.
//
// Threads: the window lives on the GUI thread and is created, initialised,
// closed and destroyed there. It also owns the one worker thread, started by
// Initialise, which reaches it only through the StatusDisplay operations.
// The four setters (ui/status_window_base.h) store the value under a lock and
// ask the GUI thread for a repaint of just that item (queued, never waiting
// on the GUI thread); HideForHandOff and RequestClose wait until the GUI
// thread has carried them out, which is safe because the worker calls them
// outside any guarded section.
//
// High DPI: the window keeps its layout size; at the device pixel ratio of
// its screen (QT_SCALE_FACTOR, QT_SCREEN_SCALE_FACTORS or the compositor's
// scale) the skin, its shape and the bars are scaled by one nearest-neighbour
// rule (ui/pixel_scale.h) and the text is drawn at the device resolution.
// The scaled images are built again when the ratio changes (another screen).
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
#include <functional>

#include "ui/qt/device_skin.h"
#include "ui/qt/skin.h"
#include "ui/status_window_base.h"

namespace launcher {

class LauncherWindow final : public QWidget, public StatusWindowBase {
 public:
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

  // StatusDisplay; any thread.
  void HideForHandOff() override;
  void RequestClose() override;

  // The loaded skin and its device form at the ratio last painted (tests and
  // diagnostics).
  const SkinImages& Images() const { return images_; }
  const DeviceSkin& Device() const { return device_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void PostRepaint() override;
  void RepaintChanged();
  // Builds the device images for the window's ratio when it changed, and
  // gives the window system the shape at that ratio.
  void FollowDeviceRatio();
  // Runs `task` on the GUI thread and returns when it has run (at once when
  // called there). Skipped once the window is closing.
  void RunOnGuiThread(const std::function<void()>& task);

  SkinImages images_;
  DeviceSkin device_;
  // The window system composes windows by alpha (Wayland): the shape shows
  // through transparent pixels, and the mask only bounds the input.
  bool translucent_ = false;
  QFont statusFont_;
  QFont detailFont_;
  QElapsedTimer lastRepaint_;

  bool pressOnCloseSpot_ = false;
  bool manualDrag_ = false;
  QPoint dragOffset_;

  bool closed_ = false;
  std::function<void()> closedCallback_;
};

}  // namespace launcher
