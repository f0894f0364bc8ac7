// What the driver does to the patcher, behind one small interface so that
// its tests run without starting processes or waiting for them: ask whether
// it runs, bring its window to the front, start it. The system's form uses
// the named lock "QuillmerePatcherExist", the window class
// "QuillmerePatcherClass" and a detached start (platform/).
//
// Ownership and threading: the installed control is process-wide, like the
// display. main leaves the system's one in place; a test installs its own
// (testing::ScopedPatcherControl) before the worker starts and keeps it alive
// until the worker has ended. Its functions run on the worker thread.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace launcher {

inline constexpr std::string_view kPatcherLockName = "QuillmerePatcherExist";
inline constexpr std::string_view kPatcherWindowClass = "QuillmerePatcherClass";

class PatcherControl {
 public:
  virtual ~PatcherControl() = default;
  // True while a patcher runs (holds its lock). Keeps nothing.
  virtual bool IsRunning() = 0;
  // Brings a running patcher's window to the front, if one is found.
  virtual void Raise() = 0;
  // Starts `program` with `args` in `workingDir` without waiting for it.
  // False when it could not be started.
  virtual bool Start(const std::filesystem::path& program, const std::vector<std::string>& args,
                     const std::filesystem::path& workingDir) = 0;
};

// The installed control; the system's one unless a test replaced it.
PatcherControl& InstalledPatcherControl();
// Installs `control` and returns the one it replaced; nullptr installs the
// system's one. Not thread-safe: call while no worker runs.
PatcherControl* SetPatcherControl(PatcherControl* control);

}  // namespace launcher
