// The Win32 launcher window in a state the Linux test chooses, for the tests
// under Wine that look at it from the X server: its shape and pixels, the
// close spot, dragging, the close handshake and the single instance.
//
//   window_probe.exe <record> <mode> [status] [detail] [total%] [file%]
//
// The worker sets the four values, then, by mode:
//   show     passes a check point every 10 ms until the window closes;
//   guarded  enters a guarded section, waits there until the file
//            "<record>.release" exists, and leaves it;
//   handoff  also holds the launcher's mutex, hides the window as before the
//            patcher start, waits for "<record>.release", notes whether the
//            window is visible and in front, and asks the window to close.
// Each step appends one line to <record>: "ready", "entered", "left",
// "hidden", "visible=<0|1> foreground=<0|1> iconic=<0|1>" and, once the modal
// run has returned, "closed".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/win32/single_instance.h"
#include "seam/cancel.h"
#include "seam/status_display.h"
#include "ui/win32/launcher_window.h"

namespace {

using namespace launcher;

std::wstring g_record;

void Record(const char* line) {
  FILE* f = _wfopen(g_record.c_str(), L"ab");
  if (f == nullptr) return;
  std::fputs(line, f);
  std::fputc('\n', f);
  std::fclose(f);
}

bool Released() {
  return GetFileAttributesW((g_record + L".release").c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::u16string Arg(int argc, wchar_t** argv, int i) {
  if (i >= argc) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(argv[i]));
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argc < 3) return 2;
  g_record = argv[1];
  const std::wstring mode = argv[2];
  const std::u16string status = Arg(argc, argv, 3);
  const std::u16string detail = Arg(argc, argv, 4);
  const int total = argc > 5 ? _wtoi(argv[5]) : 0;
  const int file = argc > 6 ? _wtoi(argv[6]) : 0;

  std::unique_ptr<win32::SingleInstance> single;
  if (mode == L"handoff") single = std::make_unique<win32::SingleInstance>();

  win32::LauncherWindow::RegisterWindowClass(instance);
  win32::LauncherWindow window(0, 0, instance);
  window.RunModal([&](const int*) {
    SetStatusText(status);
    SetDetailText(detail);
    SetTotalProgress(total);
    SetFileProgress(file);
    Record("ready");
    if (mode == L"guarded") {
      GuardedSection section;
      Record("entered");
      while (!Released()) Sleep(10);
      Record("left");
    } else if (mode == L"handoff") {
      window.HideForHandOff();
      Record("hidden");
      while (!Released()) Sleep(10);
      HWND hwnd = window.Handle();
      char line[96];
      std::snprintf(line, sizeof(line), "visible=%d foreground=%d iconic=%d",
                    IsWindowVisible(hwnd) ? 1 : 0, GetForegroundWindow() == hwnd ? 1 : 0,
                    IsIconic(hwnd) ? 1 : 0);
      Record(line);
      window.RequestClose();
      return 0;
    }
    for (;;) {
      LeaveCancelPoint();
      Sleep(10);
    }
  });
  Record("closed");
  window.JoinWorker(std::chrono::milliseconds(2000));
  LocalFree(argv);
  return 0;
}
