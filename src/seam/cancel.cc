#include "seam/cancel.h"

#include <chrono>
#include <thread>

namespace launcher {

std::atomic<int> CancelRequested{0};
std::atomic<int> WorkInProgress{0};
std::atomic<int> WindowClosing{0};

namespace {
bool CloseRequested() { return CancelRequested.load() != 0 || WindowClosing.load() != 0; }
}  // namespace

void EnterCancelPoint() {
  if (CloseRequested()) throw WorkerCancelled{};
  WorkInProgress.store(1);
  // The store above must be visible before the close handler reads
  // WorkInProgress; seq_cst on both sides orders the store before our next
  // load, so re-check: a close that raced in between must not see us idle
  // while we proceed.
  if (CloseRequested()) {
    WorkInProgress.store(0);
    throw WorkerCancelled{};
  }
}

void LeaveCancelPoint() {
  WorkInProgress.store(0);
  if (CloseRequested()) throw WorkerCancelled{};
}

void StartUpdatePathCancelScope() {
  CancelRequested.store(0);
  LeaveCancelPoint();
}

void RunCloseHandshake() {
  WindowClosing.store(1);
  CancelRequested.store(1);
  while (WorkInProgress.load() != 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void ResetCancelStateForTesting() {
  CancelRequested.store(0);
  WorkInProgress.store(0);
  WindowClosing.store(0);
}

}  // namespace launcher
