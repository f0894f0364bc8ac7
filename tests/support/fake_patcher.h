// FakePatcherControl: the patcher as the driver sees it, without a process.
// It reports itself running for its first n probes (set_running_probes; all
// of them with kAlways; none at first) and records raises and starts. Thread-safe: the worker
// calls it, the test reads it. Install it with ScopedPatcherControl.
#pragma once

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

  void set_running_probes(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    runningProbes_ = n;
  }

  bool IsRunning() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++probes_;
    return runningProbes_ == kAlways || probes_ <= runningProbes_;
  }
  void Raise() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++raises_;
  }
  bool Start(const std::filesystem::path& program, const std::vector<std::string>& args,
             const std::filesystem::path& workingDir) override {
    std::lock_guard<std::mutex> lock(mutex_);
    starts_.push_back({program, args, workingDir});
    return true;
  }

  int Probes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return probes_;
  }
  int Raises() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return raises_;
  }
  std::vector<StartCall> Starts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return starts_;
  }

 private:
  mutable std::mutex mutex_;
  int runningProbes_ = 0;
  int probes_ = 0;
  int raises_ = 0;
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
