// The update driver: the body of the launcher's one worker thread.
//
// Reads the local product id, prepares the logs, chooses the server, finds
// out whether the patcher runs (in "/update" mode waits for it to end), runs
// the normal update path or the full check, then hands off: hides the
// window, starts "../patcher/patcher.exe /update" and asks the window to
// close.
//
// Threading: runs once per process on the worker thread the window starts.
// It reaches the window only through the guarded status functions,
// HideForHandOff and RequestClose of g_launcherWindow (which may be null: the
// driver then runs without a display). A close of the window ends it at its
// next check point; it then returns 0 without touching the window again and
// without starting the patcher. All pauses run on the engine clock; the
// patcher is probed, raised and started through the installed
// PatcherControl (update/patcher_control.h).
#pragma once

#include <cstdint>

namespace launcher {

// Pauses and tries of the driver, in milliseconds.
inline constexpr std::uint32_t kFirstPatcherWaitMs = 1000;  // "/update": before the first try
inline constexpr int kPatcherTries = 20;                    // "/update": probes of the lock
inline constexpr std::uint32_t kPatcherTryPauseMs = 300;    // after each probe
inline constexpr std::uint32_t kStillRunningPauseMs = 500;  // before closing
inline constexpr std::uint32_t kNormalProbeDelayMs = 30;    // normal mode: before the probe
inline constexpr std::uint32_t kBeforeHandOffMs = 200;
inline constexpr std::uint32_t kAfterPatcherStartMs = 100;

// The worker's thread function. `fullCheck` points at the window's
// full-check flag (non-zero: run the full check); null counts as 0. Returns 0.
int UpdateThreadProc(const int* fullCheck);

}  // namespace launcher
