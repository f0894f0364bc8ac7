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
//   dpi-change  waits for "<record>.release", then tells the window that
//            it is now on a monitor of 192 dots per inch, suggesting the
//            rectangle 100,50 - 561,451 (a pixel larger than the skin
//            doubled), notes "dpi-changed", then goes on as show;
//   first-paint  (no values) notes the wall time of the first frame drawn,
//            "first-frame-ns=<ns since 1970>", and closes;
//   cpu      (the status argument is a number of seconds) changes the file
//            bar and the status text as fast as it can for that long, then
//            notes "wall-ms=<n> window-cpu-ms=<n> frames=<n> calls=<n>" and
//            closes.
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
  HANDLE windowThread = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &windowThread, 0,
                  FALSE, DUPLICATE_SAME_ACCESS);

  std::unique_ptr<win32::SingleInstance> single;
  if (mode == L"handoff") single = std::make_unique<win32::SingleInstance>();

  win32::LauncherWindow::RegisterWindowClass(instance);
  win32::LauncherWindow window(0, 0, instance);
  window.RunModal([&](const int*) {
    if (mode == L"first-paint") {
      while (window.FramesDrawn() == 0) Sleep(1);
      FILETIME now;
      GetSystemTimePreciseAsFileTime(&now);
      // 100 ns units since 1601.
      const unsigned long long ticks =
          (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
      char line[64];
      std::snprintf(line, sizeof(line), "first-frame-ns=%llu",
                    (ticks - 116444736000000000ULL) * 100ULL);
      Record(line);
      window.RequestClose();
      return 0;
    }
    if (mode == L"cpu") {
      const ULONGLONG start = GetTickCount64();
      const ULONGLONG end = start + static_cast<ULONGLONG>(_wtoi(argv[3])) * 1000u;
      FILETIME c, e, k0, u0, k1, u1;
      GetThreadTimes(windowThread, &c, &e, &k0, &u0);
      const long long frames0 = window.FramesDrawn();
      const std::u16string names[] = {u"data/textures/terrain_01.pak", u"data/sound/music.pak"};
      long long n = 0;
      while (GetTickCount64() < end) {
        SetFileProgress(static_cast<int>(n % 101));
        SetStatusText(names[n % 2]);
        ++n;
      }
      GetThreadTimes(windowThread, &c, &e, &k1, &u1);
      auto ms = [](const FILETIME& a, const FILETIME& b) {
        const auto v = [](const FILETIME& f) {
          return (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
        };
        return static_cast<long long>((v(b) - v(a)) / 10000ULL);
      };
      char line[160];
      std::snprintf(line, sizeof(line), "wall-ms=%llu window-cpu-ms=%lld frames=%lld calls=%lld",
                    GetTickCount64() - start, ms(k0, k1) + ms(u0, u1),
                    window.FramesDrawn() - frames0, n);
      Record(line);
      window.RequestClose();
      return 0;
    }
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
    } else if (mode == L"dpi-change") {
      while (!Released()) Sleep(10);
      RECT suggested{100, 50, 561, 451};
      SendMessageW(window.Handle(), WM_DPICHANGED, MAKEWPARAM(192, 192),
                   reinterpret_cast<LPARAM>(&suggested));
      Record("dpi-changed");
    }
    for (;;) {
      LeaveCancelPoint();
      Sleep(10);
    }
  });
  Record("closed");
  window.JoinWorker(std::chrono::milliseconds(2000));
  LocalFree(argv);
  CloseHandle(windowThread);
  return 0;
}
