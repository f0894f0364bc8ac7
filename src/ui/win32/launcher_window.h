// The launcher's only window on Windows: a modal dialog of the registered
// class "QuillmereLauncherClass" with the title "Launcher", borderless and
// shaped by the skin, with two status lines and two progress bars, dragged by
// its body and closed by its close spot, Escape, Enter, Alt+F4, the worker's
// close request or the end of the session.
//
// Threads: the window lives on the thread that calls RunModal and is
// created, initialised, closed and destroyed there. It starts the one worker
// thread while it initialises; the worker reaches it only through the
// StatusDisplay operations. The four setters (ui/status_window_base.h) store
// the value in the shared status state and post a repaint request
// (PostMessageW: never waiting for the window thread, so a worker inside a
// guarded section cannot block on it); HideForHandOff and RequestClose wait
// until the window thread has carried them out (SendMessageW), which is safe
// because the worker calls them outside any guarded section.
//
// Pixel density: the window is drawn at its monitor's density (WindowDpi)
// and drawn again, at the place the system suggests, when it moves to a
// monitor of another density (WM_DPICHANGED). Screen readers read its lines
// and bars through StatusAccessible, told of each change the window draws.
//
// Lifetime: every way of closing runs the close handshake first, so once the
// window has closed the worker can no longer start a guarded section. The
// destructor joins the worker; a caller that cannot wait for a worker stuck
// in a transfer must end the process instead of destroying the window.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "ui/status_window_base.h"
#include "ui/win32/skin_images.h"
#include "ui/win32/status_accessible.h"

namespace launcher::win32 {

inline constexpr wchar_t kLauncherWindowClass[] = L"QuillmereLauncherClass";
inline constexpr wchar_t kLauncherWindowTitle[] = L"Launcher";

class LauncherWindow final : public StatusWindowBase {
 public:
  // Registers "QuillmereLauncherClass" with the attributes of the standard
  // dialog class for `module`. Once per process, before the first window.
  static bool RegisterWindowClass(HINSTANCE module);

  // Makes this window g_launcherWindow. fullCheck and updateMode are the
  // command-line switches, 0 or 1.
  LauncherWindow(int fullCheck, int updateMode, HINSTANCE module);
  ~LauncherWindow() override;
  LauncherWindow(const LauncherWindow&) = delete;
  LauncherWindow& operator=(const LauncherWindow&) = delete;

  // Creates the window, loads the skin from `skinPath` and applies its
  // shape, centres it on the screen, loads "stringtab.txt", starts `worker`
  // (none: no worker) and runs the dialog modally: returns once it has
  // closed and is destroyed.
  void RunModal(WorkerEntry worker, const std::wstring& skinPath = L"launcher.bmp");

  // The dialog's handle while it runs (null before and after).
  HWND Handle() const { return hwnd_.load(); }
  bool IsClosed() const { return closed_.load(); }
  // Frames drawn so far: whole repaints and item updates (diagnostics).
  long long FramesDrawn() const { return frames_.load(); }

  // StatusDisplay; any thread.
  void HideForHandOff() override;
  void RequestClose() override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  // Returns true when the message was handled; `result` is its answer.
  bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
  void OnInitDialog(HWND hwnd);
  void OnClose();
  void OnStatusChanged();
  void DrawChanged();
  void SetDpi(int dpi);
  void OnDpiChanged(int dpi, const RECT& suggested);
  LRESULT AnswerGetObject(WPARAM wParam, LPARAM lParam);
  void PostRepaint() override;

  HINSTANCE module_;
  std::wstring skinPath_;
  WorkerEntry workerEntry_;

  std::unique_ptr<SkinImages> images_;
  HFONT statusFont_ = nullptr;
  HFONT detailFont_ = nullptr;
  HICON icon_ = nullptr;
  ULONGLONG lastDraw_ = 0;
  bool timerPending_ = false;
  bool erasedThisPaint_ = false;
  // Created when a client first asks; disconnected when the window goes.
  StatusAccessible* accessible_ = nullptr;
  // The values clients were last told about.
  StatusState::Values announced_;

  std::atomic<HWND> hwnd_{nullptr};
  std::atomic<bool> closed_{false};
  std::atomic<long long> frames_{0};
  std::atomic<int> dpi_{96};
};

}  // namespace launcher::win32
