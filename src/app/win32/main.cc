// Process entry of the Windows launcher: single instance, working directory,
// switches from the Windows command line, then the launcher window as a
// modal dialog until it closes.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "app/status_echo.h"
#include "app/win32/single_instance.h"
#include "app/working_directory.h"
#include "platform/command_line.h"
#include "ui/win32/launcher_window.h"
#include "update/update_driver.h"

namespace {

// How long the end of the process waits for a worker that was told to stop.
// A worker inside a transfer may need much longer; the process then ends
// without it, as the worker keeps nothing half-written outside a guarded
// section.
constexpr std::chrono::milliseconds kWorkerGrace{200};

int RunUpdate(const int* fullCheck) { return launcher::UpdateThreadProc(fullCheck); }

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  using namespace launcher;

  win32::SingleInstance single;
  if (single.IsSecond()) {
    win32::ShowRunningLauncher();
    return 0;
  }

  win32::LauncherWindow::RegisterWindowClass(instance);
  ChangeToExecutableDirectory();
  const std::u16string_view line(reinterpret_cast<const char16_t*>(GetCommandLineW()));
  const Switches switches = ParseSwitches(SplitCommandLine(line));

  // Lives until the process ends: the worker may reach it until then.
  auto* window = new win32::LauncherWindow(switches.fullCheck, switches.updateMode, instance);
  // The mirror is as long-lived as the window.
  if (StatusEcho::Requested()) g_launcherWindow = new StatusEcho(*window);
  window->RunModal(RunUpdate);

  // A worker that ends at its next check point is joined; one that does not
  // end in time is left to the end of the process.
  if (!window->JoinWorker(kWorkerGrace)) {
    std::fflush(nullptr);
    ExitProcess(0);
  }
  delete window;
  return 0;
}
