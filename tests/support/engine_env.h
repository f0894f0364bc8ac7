// EngineEnv: one installation in a temporary directory with the engine's
// process-wide state prepared for a test of the update engine: working
// directory, string table with a distinct text per slot ("S<n> ", the
// figures' format of the lower line left empty), a recording display, a
// simulated clock, no release keys (as a launcher built without them), and
// the rest of the engine's process-wide state fresh (ScopedEngineState).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "seam/cancel.h"
#include "support/engine_state.h"
#include "support/fake_clock.h"
#include "support/recording_display.h"
#include "support/release_keys_scope.h"
#include "support/temp_dir.h"

namespace launcher::testing {

class EngineEnv {
 public:
  EngineEnv();
  EngineEnv(const EngineEnv&) = delete;
  EngineEnv& operator=(const EngineEnv&) = delete;

  // Points the URL family at `baseUrl` and creates the shared downloader.
  void UseServer(const std::string& baseUrl);
  // What a new process would start with: cancel flags, list directory and
  // pending log text cleared; the versions kept.
  void NewRun();

  std::filesystem::path Patcher(std::string_view rel = {}) const { return root_ / "patcher" / rel; }
  std::filesystem::path Config(std::string_view rel = {}) const {
    return root_ / "config" / "patcher" / rel;
  }
  const std::filesystem::path& root() const { return root_; }

  // Update-log lines without their time stamps; the error log's whole text.
  std::vector<std::u16string> LogLines() const;
  std::u16string ErrorLog() const;
  // The text of a message slot as the test table has it.
  static std::u16string Msg(int slot);

  RecordingDisplay display;
  FakeClock clock;

 private:
  ScopedEngineState state_;
  TempDir dir_;
  std::filesystem::path root_;
  ScopedCurrentDir cwd_;
  ScopedDisplay scopedDisplay_;
  ScopedEngineClock scopedClock_;
  ScopedReleaseKeys noReleaseKeys_{{}};
};

// Runs `work` as the worker's thread function would: true when a check
// point ended it (WorkerCancelled), false when it returned.
template <typename F>
bool EndsCancelled(F&& work) {
  try {
    work();
  } catch (const WorkerCancelled&) {
    return true;
  }
  return false;
}

}  // namespace launcher::testing
