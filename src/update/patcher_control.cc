#include "update/patcher_control.h"

#include "platform/named_lock.h"
#include "platform/process.h"
#include "platform/window_raise.h"

namespace launcher {
namespace {

class SystemPatcherControl final : public PatcherControl {
 public:
  bool IsRunning() override { return NamedLock::IsHeld(kPatcherLockName); }
  void Raise() override { RaiseWindowByClass(kPatcherWindowClass); }
  bool Start(const std::filesystem::path& program, const std::vector<std::string>& args,
             const std::filesystem::path& workingDir) override {
    return StartDetachedProcess(program, args, workingDir);
  }
};

SystemPatcherControl g_systemPatcher;
PatcherControl* g_patcherControl = &g_systemPatcher;

}  // namespace

PatcherControl& InstalledPatcherControl() { return *g_patcherControl; }

PatcherControl* SetPatcherControl(PatcherControl* control) {
  PatcherControl* previous = g_patcherControl;
  g_patcherControl = control != nullptr ? control : &g_systemPatcher;
  return previous;
}

}  // namespace launcher
