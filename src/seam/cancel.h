// Cancel check points: how the window thread stops the update worker.
//
// The three words below are what the two threads share for stopping:
// CancelRequested (a close was asked for), WorkInProgress (the worker is
// inside a guarded section) and WindowClosing (a close came from the window
// and stands for the rest of the run). They are not the only
// synchronisation between the threads: the display's values pass under the
// window's status lock, and its repaints and the close request go through
// the window's queued hand-over (seam/status_display.h).
//
// The worker brackets every step that must not be cut in half (a drawing
// operation, a log line, a state-file rewrite, a delete-and-move pair) with
// EnterCancelPoint / LeaveCancelPoint. The window's close handler calls
// RunCloseHandshake, which sets CancelRequested and waits while the worker is
// inside a bracketed step. The worker then ends itself at its next check
// point by throwing WorkerCancelled, which only the top of the worker's
// thread function catches.
#pragma once

#include <atomic>

namespace launcher {

// Thrown by a check point to end the worker. Deliberately not derived from
// std::exception: every `catch (...)` below the worker's top must rethrow it,
// and it must never unwind through C code (catch it inside C callbacks, abort
// the C operation, and rethrow once the C call has returned).
struct WorkerCancelled {};

// Set to 1 by the window's close handler; cleared at the start of an update
// path. Written by both threads, polled by the worker.
extern std::atomic<int> CancelRequested;
// 1 while the worker is inside a guarded section. Written by the worker only.
extern std::atomic<int> WorkInProgress;
// Set once by the close handshake and never cleared: a close that came from
// the window stands even when an update path resets CancelRequested for its
// own use, so the worker never touches a closed window.
extern std::atomic<int> WindowClosing;

// Worker side. Both throw WorkerCancelled when the window asked to close.
void EnterCancelPoint();
void LeaveCancelPoint();

// Clears CancelRequested for the start of an update path, then passes a
// check point. A close request made earlier by the window still ends the
// worker here.
void StartUpdatePathCancelScope();

// Window side: the close handshake. Sets CancelRequested (and WindowClosing),
// then waits in steps of 10 ms while WorkInProgress is set. Returns when no
// guarded section is running and none can start.
void RunCloseHandshake();

// RAII form of a guarded section for the worker.
class GuardedSection {
 public:
  GuardedSection() { EnterCancelPoint(); }
  ~GuardedSection() noexcept(false) {
    // Leaving while an exception unwinds must not throw a second one.
    if (std::uncaught_exceptions() > entered_exceptions_) {
      WorkInProgress.store(0);
      return;
    }
    LeaveCancelPoint();
  }
  GuardedSection(const GuardedSection&) = delete;
  GuardedSection& operator=(const GuardedSection&) = delete;

 private:
  int entered_exceptions_ = std::uncaught_exceptions();
};

// Resets every flag; for tests that run several workers in one process.
void ResetCancelStateForTesting();

}  // namespace launcher
