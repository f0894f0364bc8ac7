#include "ui/status_window_base.h"

#include "seam/cancel.h"

namespace launcher {

StatusWindowBase::StatusWindowBase(int fullCheck, int updateMode)
    : fullCheck_(fullCheck), updateMode_(updateMode) {
  g_launcherWindow = this;
}

StatusWindowBase::~StatusWindowBase() { EndWorker(); }

void StatusWindowBase::StartWorker(WorkerEntry worker) {
  if (!worker) return;
  workerDone_.store(false);
  worker_ = std::thread([this, entry = std::move(worker)] {
    try {
      entry(&fullCheck_);
    } catch (const WorkerCancelled&) {
      // The window asked to close at a check point: nothing more to do.
    }
    workerDone_.store(true);
  });
}

void StatusWindowBase::EndWorker() {
  if (worker_.joinable()) worker_.join();
  if (g_launcherWindow == this) g_launcherWindow = nullptr;
}

bool StatusWindowBase::JoinWorker(std::chrono::milliseconds timeout) {
  if (!worker_.joinable()) return true;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!workerDone_.load()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  worker_.join();
  return true;
}

void StatusWindowBase::SetStatusText(std::u16string_view text) {
  if (state_.SetStatusText(text)) PostRepaint();
}

void StatusWindowBase::SetDetailText(std::u16string_view text) {
  if (state_.SetDetailText(text)) PostRepaint();
}

void StatusWindowBase::SetTotalProgress(int percent) {
  if (state_.SetTotalProgress(percent)) PostRepaint();
}

void StatusWindowBase::SetFileProgress(int percent) {
  if (state_.SetFileProgress(percent)) PostRepaint();
}

}  // namespace launcher
