// RecordingDisplay: a StatusDisplay that keeps every call in order, for tests
// of the engine. Thread-safe: the worker records, the test reads.
//
// A hook, when set, runs after each call is recorded, on the calling (worker)
// thread and inside the guarded section of the call; tests use it to ask the
// worker to stop at a chosen moment (set CancelRequested) or to look at the
// disk while the worker waits.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "seam/status_display.h"

namespace launcher::testing {

struct DisplayCall {
  enum Kind { kStatus, kDetail, kTotal, kFile, kHide, kClose };
  Kind kind;
  std::u16string text;  // kStatus, kDetail
  int percent = 0;      // kTotal, kFile
};

class RecordingDisplay : public StatusDisplay {
 public:
  using Hook = std::function<void(const DisplayCall&)>;

  void SetStatusText(std::u16string_view text) override;
  void SetDetailText(std::u16string_view text) override;
  void SetTotalProgress(int percent) override;
  void SetFileProgress(int percent) override;
  void HideForHandOff() override;
  void RequestClose() override;
  bool UpdateMode() const override { return updateMode_; }

  void set_update_mode(bool on) { updateMode_ = on; }
  void SetHook(Hook hook);
  void Clear();

  std::vector<DisplayCall> Calls() const;
  // The values of one kind of call, in order.
  std::vector<std::u16string> Texts(DisplayCall::Kind kind) const;
  std::vector<int> Percents(DisplayCall::Kind kind) const;

 private:
  void Record(DisplayCall call);

  mutable std::mutex mutex_;
  std::vector<DisplayCall> calls_;
  Hook hook_;
  bool updateMode_ = false;
};

// Installs a display as g_launcherWindow for the lifetime of the object.
class ScopedDisplay {
 public:
  explicit ScopedDisplay(StatusDisplay* display);
  ~ScopedDisplay();
  ScopedDisplay(const ScopedDisplay&) = delete;
  ScopedDisplay& operator=(const ScopedDisplay&) = delete;

 private:
  StatusDisplay* previous_;
};

}  // namespace launcher::testing
