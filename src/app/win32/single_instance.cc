#include "app/win32/single_instance.h"

#include <windows.h>

#include "ui/win32/launcher_window.h"

namespace launcher::win32 {

SingleInstance::SingleInstance() {
  NamedLock::Outcome outcome = NamedLock::Outcome::kUnavailable;
  lock_ = NamedLock::TryAcquire(kLauncherMutexName, &outcome);
  second_ = outcome == NamedLock::Outcome::kHeldElsewhere;
}

bool ShowRunningLauncher() {
  HWND window = FindWindowW(kLauncherWindowClass, kLauncherWindowTitle);
  if (window == nullptr) return false;
  // Shown first: a hidden window cannot become the foreground window, so
  // raising before showing would leave a window hidden by the hand-off
  // behind the others.
  ShowWindow(window, SW_SHOWNORMAL);
  SetForegroundWindow(window);
  return true;
}

}  // namespace launcher::win32
