#include "support/recording_display.h"

namespace launcher::testing {

void RecordingDisplay::SetStatusText(std::u16string_view text) {
  Record({DisplayCall::kStatus, std::u16string(text), 0});
}

void RecordingDisplay::SetDetailText(std::u16string_view text) {
  Record({DisplayCall::kDetail, std::u16string(text), 0});
}

void RecordingDisplay::SetTotalProgress(int percent) { Record({DisplayCall::kTotal, {}, percent}); }

void RecordingDisplay::SetFileProgress(int percent) { Record({DisplayCall::kFile, {}, percent}); }

void RecordingDisplay::HideForHandOff() { Record({DisplayCall::kHide, {}, 0}); }

void RecordingDisplay::RequestClose() { Record({DisplayCall::kClose, {}, 0}); }

void RecordingDisplay::SetHook(Hook hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  hook_ = std::move(hook);
}

void RecordingDisplay::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

std::vector<DisplayCall> RecordingDisplay::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<std::u16string> RecordingDisplay::Texts(DisplayCall::Kind kind) const {
  std::vector<std::u16string> texts;
  for (const DisplayCall& call : Calls()) {
    if (call.kind == kind) texts.push_back(call.text);
  }
  return texts;
}

std::vector<int> RecordingDisplay::Percents(DisplayCall::Kind kind) const {
  std::vector<int> values;
  for (const DisplayCall& call : Calls()) {
    if (call.kind == kind) values.push_back(call.percent);
  }
  return values;
}

void RecordingDisplay::Record(DisplayCall call) {
  Hook hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
    hook = hook_;
  }
  // Outside the lock: the hook may read the recorder.
  if (hook) hook(call);
}

ScopedDisplay::ScopedDisplay(StatusDisplay* display) : previous_(g_launcherWindow) {
  g_launcherWindow = display;
}

ScopedDisplay::~ScopedDisplay() { g_launcherWindow = previous_; }

}  // namespace launcher::testing
