#include <windows.h>

#include "headless_wait.h"

namespace launcher::headless {

namespace {

// Manual-reset events, created once and kept for the life of the process:
// the console handler may run on its own thread at any time.
HANDLE g_closeRequested = nullptr;
HANDLE g_finished = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
  ::SetEvent(g_closeRequested);
  return TRUE;
}

}  // namespace

void PrepareCloseWait() {
  g_closeRequested = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_finished = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void NotifyWorkerFinished() { ::SetEvent(g_finished); }

bool WaitForCloseOrFinish() {
  HANDLE events[] = {g_finished, g_closeRequested};
  return ::WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
}

}  // namespace launcher::headless
