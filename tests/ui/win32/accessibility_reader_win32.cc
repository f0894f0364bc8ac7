// A screen reader in miniature, for the tests that run the real launcher
// under Wine: it listens to every program's name and value changes (an
// out-of-context WinEvent hook), and for those that come from the launcher
// window's client area reads the child's name or value through Active
// Accessibility, once for each burst of changes, as a screen reader would.
//
//   accessibility_reader.exe <record> [seconds]
//
// Appends to <record> (UTF-8): "listening" once the hook is in place,
// "window" when the launcher window appears, one line per reading,
// "name <child> <text>" or "value <child> <text>" ("<none>" when there is
// none), and "gone" when the window has gone; ends then, or after `seconds`
// (default 120) with exit status 1.
#include <windows.h>
// After windows.h.
#include <oleacc.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

namespace {

std::wstring g_record;

void Record(const std::wstring& line) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, text.data(), n, nullptr, nullptr);
  text.back() = '\n';
  FILE* f = _wfopen(g_record.c_str(), L"ab");
  if (f == nullptr) return;
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

bool IsLauncherWindow(HWND hwnd) {
  wchar_t name[64] = {};
  return hwnd != nullptr && GetClassNameW(hwnd, name, 64) > 0 &&
         std::wstring(name) == L"QuillmereLauncherClass";
}

std::wstring Text(HRESULT hr, BSTR text) {
  std::wstring out = SUCCEEDED(hr) && text != nullptr ? std::wstring(text) : L"<none>";
  SysFreeString(text);
  return out;
}

// The changes heard since the last reading: (event, child) of the window.
struct Change {
  DWORD event;
  LONG child;
  bool operator<(const Change& o) const {
    return event != o.event ? event < o.event : child < o.child;
  }
};
std::set<Change> g_changed;
HWND g_window = nullptr;

void CALLBACK OnEvent(HWINEVENTHOOK, DWORD event, HWND hwnd, LONG object, LONG child, DWORD,
                      DWORD) {
  if (object != OBJID_CLIENT || !IsLauncherWindow(hwnd)) return;
  g_window = hwnd;
  g_changed.insert({event, child});
}

// Reads what changed, once per child however many changes were heard
// meanwhile, as screen readers fold a burst of events for one object.
void ReadChanges() {
  // A reading is a call into the launcher's process, during which COM
  // delivers the events that arrive meanwhile: they wait for the next round.
  std::set<Change> changed;
  changed.swap(g_changed);
  for (const Change& c : changed) {
    IAccessible* acc = nullptr;
    VARIANT which;
    VariantInit(&which);
    if (FAILED(AccessibleObjectFromEvent(g_window, static_cast<DWORD>(OBJID_CLIENT),
                                         static_cast<DWORD>(c.child), &acc, &which))) {
      continue;
    }
    BSTR text = nullptr;
    std::wstring line;
    if (c.event == EVENT_OBJECT_NAMECHANGE) {
      const HRESULT hr = acc->get_accName(which, &text);
      line = L"name " + std::to_wstring(which.lVal) + L" " + Text(hr, text);
    } else {
      const HRESULT hr = acc->get_accValue(which, &text);
      line = L"value " + std::to_wstring(which.lVal) + L" " + Text(hr, text);
    }
    acc->Release();
    Record(line);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argc < 2) return 2;
  g_record = argv[1];
  const ULONGLONG limit = (argc > 2 ? std::wcstoull(argv[2], nullptr, 10) : 120) * 1000u;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_NAMECHANGE, EVENT_OBJECT_VALUECHANGE, nullptr,
                                       OnEvent, 0, 0, WINEVENT_OUTOFCONTEXT);
  if (hook == nullptr) return 3;
  Record(L"listening");
  const ULONGLONG start = GetTickCount64();
  HWND window = nullptr;
  int status = 1;
  while (GetTickCount64() - start < limit) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    ReadChanges();
    if (window == nullptr) {
      window = FindWindowW(L"QuillmereLauncherClass", L"Launcher");
      if (window != nullptr) Record(L"window");
    } else if (IsWindow(window) == 0) {
      Record(L"gone");
      status = 0;
      break;
    }
  }
  UnhookWinEvent(hook);
  CoUninitialize();
  LocalFree(argv);
  return status;
}
