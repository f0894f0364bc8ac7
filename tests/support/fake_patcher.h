// FakePatcherControl: the patcher as the driver sees it, without a process.
// It reports itself running for its first `runningProbes` probes (every one
// with kAlways; none at first) and counts raises and records starts.
// Thread-safe: the worker calls it, the test reads it. Install it with
// ScopedPatcherControl.
#pragma once

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "update/patcher_control.h"

namespace launcher::testing {

class FakePatcherControl : public PatcherControl {
 public:
  static constexpr int kAlways = -1;
  struct StartCall {
    std::filesystem::path program;
    std::vector<std::string> args;
    std::filesystem::path workingDir;
  };

  bool IsRunning() override {
    const int probe = ++probes;
    return runningProbes == kAlways || probe <= runningProbes;
  }
  void Raise() override { ++raises; }
  bool Start(const std::filesystem::path& program, const std::vector<std::string>& args,
             const std::filesystem::path& workingDir) override {
    std::lock_guard<std::mutex> lock(mutex_);
    starts_.push_back({program, args, workingDir});
    return true;
  }
  std::vector<StartCall> Starts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return starts_;
  }

  std::atomic<int> runningProbes{0};
  std::atomic<int> probes{0};
  std::atomic<int> raises{0};

 private:
  mutable std::mutex mutex_;
  std::vector<StartCall> starts_;
};

// Installs `control` for the lifetime of the object, then puts back the one
// it replaced.
class ScopedPatcherControl {
 public:
  explicit ScopedPatcherControl(PatcherControl* control) : previous_(SetPatcherControl(control)) {}
  ~ScopedPatcherControl() { SetPatcherControl(previous_); }
  ScopedPatcherControl(const ScopedPatcherControl&) = delete;
  ScopedPatcherControl& operator=(const ScopedPatcherControl&) = delete;

 private:
  PatcherControl* previous_;
};

}  // namespace launcher::testing
