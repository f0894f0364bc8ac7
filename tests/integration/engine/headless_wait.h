// What launcher-headless waits on while the worker runs: the worker's end, or
// the user's request to close, which stands for closing the window (SIGINT or
// SIGTERM on POSIX; Ctrl+C, Ctrl+Break or closing the console on Windows).
// One source per platform: headless_wait_posix.cc, headless_wait_win32.cc.
//
// The state is the process's own, set up once: PrepareCloseWait() on the
// main thread before the worker thread starts (on POSIX it blocks the signals
// there, so the worker inherits the mask and only the waiting thread takes
// them); NotifyWorkerFinished() from the worker thread as its last act;
// WaitForCloseOrFinish() on the main thread, once.
#pragma once

namespace launcher::headless {

void PrepareCloseWait();
void NotifyWorkerFinished();

// Blocks until one of the two happens; true when the user asked to close
// before the worker finished.
bool WaitForCloseOrFinish();

}  // namespace launcher::headless
