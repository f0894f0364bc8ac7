// A screen reader in miniature, for wine_reader_test: it takes the launcher
// window's client object through AccessibleObjectFromWindow and, whenever it
// hears a name or value change from the window (an out-of-context WinEvent
// hook), reads the four children again, once per burst of changes.
//
//   accessibility_reader.exe <record> [seconds]
//
// Appends to <record> (UTF-8): "listening" once the hook is in place,
// "role <child> <role>" when it first sees the window, then
// "name <child> <text>" or "value <child> <text>" ("<none>" when there is
// none) whenever what it reads differs from what it read before, and
// "gone" once the window has gone. Ends then, or after `seconds` (default
// 120) with exit status 1.
#include <windows.h>
// After windows.h.
#include <oleacc.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

std::wstring g_record;
bool g_heard = false;

void Record(const std::wstring& line) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(n), '\n');
  WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, text.data(), n, nullptr, nullptr);
  text.back() = '\n';
  if (FILE* f = _wfopen(g_record.c_str(), L"ab")) {
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }
}

void CALLBACK OnEvent(HWINEVENTHOOK, DWORD, HWND hwnd, LONG object, LONG, DWORD, DWORD) {
  wchar_t name[64] = {};
  GetClassNameW(hwnd, name, 64);
  if (object == OBJID_CLIENT && std::wstring(name) == L"QuillmereLauncherClass") g_heard = true;
}

VARIANT Child(LONG id) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = id;
  return v;
}

std::wstring Text(HRESULT hr, BSTR text) {
  std::wstring out = SUCCEEDED(hr) && text != nullptr ? std::wstring(text) : L"<none>";
  SysFreeString(text);
  return out;
}

// Reads every child and records what changed since the last reading.
void ReadAll(IAccessible* acc, std::map<std::wstring, std::wstring>& last) {
  for (LONG id = 1; id <= 4; ++id) {
    BSTR name = nullptr;
    BSTR value = nullptr;
    const HRESULT named = acc->get_accName(Child(id), &name);
    const HRESULT valued = acc->get_accValue(Child(id), &value);
    const std::wstring texts[2] = {Text(named, name), Text(valued, value)};
    for (int k = 0; k < 2; ++k) {
      const std::wstring key = (k == 0 ? L"name " : L"value ") + std::to_wstring(id) + L" ";
      const std::wstring& now = texts[k];
      if (last[key] != now) Record(key + now);
      last[key] = now;
    }
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
  IAccessible* acc = nullptr;
  std::map<std::wstring, std::wstring> last;
  int status = 1;
  while (GetTickCount64() - start < limit) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    if (acc == nullptr) {
      window = FindWindowW(L"QuillmereLauncherClass", L"Launcher");
      if (window == nullptr || FAILED(AccessibleObjectFromWindow(
                                   window, static_cast<DWORD>(OBJID_CLIENT), __uuidof(IAccessible),
                                   reinterpret_cast<void**>(&acc)))) {
        continue;
      }
      for (LONG id = 1; id <= 4; ++id) {
        VARIANT role;
        VariantInit(&role);
        acc->get_accRole(Child(id), &role);
        Record(L"role " + std::to_wstring(id) + L" " + std::to_wstring(role.lVal));
      }
      g_heard = true;
    }
    if (IsWindow(window) == 0) {
      Record(L"gone");
      status = 0;
      break;
    }
    // Reading calls into the launcher, during which COM delivers the events
    // that come meanwhile: they make the next round read again.
    if (g_heard) {
      g_heard = false;
      ReadAll(acc, last);
    }
  }
  if (acc != nullptr) acc->Release();
  UnhookWinEvent(hook);
  CoUninitialize();
  LocalFree(argv);
  return status;
}
