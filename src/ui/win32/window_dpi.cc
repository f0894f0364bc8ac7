#include "ui/win32/window_dpi.h"

#include "ui/dpi_scale.h"

namespace launcher::win32 {
namespace {

// MONITOR_DPI_TYPE's MDT_EFFECTIVE_DPI, the density scaling is based on.
constexpr int kEffectiveDpi = 0;

template <typename Function>
Function Lookup(const wchar_t* module, const char* name) {
  HMODULE m = GetModuleHandleW(module);
  if (m == nullptr) m = LoadLibraryExW(module, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (m == nullptr) return nullptr;
  // The documented signature; GetProcAddress cannot know it.
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(m, name)));
}

}  // namespace

int WindowDpi(HWND hwnd) {
  using ForWindow = UINT(WINAPI*)(HWND);
  static const auto forWindow = Lookup<ForWindow>(L"user32.dll", "GetDpiForWindow");
  if (forWindow != nullptr && hwnd != nullptr) {
    if (const UINT dpi = forWindow(hwnd); dpi != 0) return UsableDpi(static_cast<int>(dpi));
  }
  using ForMonitor = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
  static const auto forMonitor = Lookup<ForMonitor>(L"shcore.dll", "GetDpiForMonitor");
  if (forMonitor != nullptr && hwnd != nullptr) {
    UINT x = 0;
    UINT y = 0;
    HMONITOR monitor = MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST);
    if (SUCCEEDED(forMonitor(monitor, kEffectiveDpi, &x, &y)) && y != 0) {
      return UsableDpi(static_cast<int>(y));
    }
  }
  HDC screen = GetDC(nullptr);
  const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return UsableDpi(dpi);
}

void KeepDialogManagerFromRescaling(HWND hwnd) {
  using SetBehavior = BOOL(WINAPI*)(HWND, DIALOG_DPI_CHANGE_BEHAVIORS, DIALOG_DPI_CHANGE_BEHAVIORS);
  static const auto set = Lookup<SetBehavior>(L"user32.dll", "SetDialogDpiChangeBehavior");
  if (set != nullptr) set(hwnd, DDC_DISABLE_ALL, DDC_DISABLE_ALL);
}

}  // namespace launcher::win32
