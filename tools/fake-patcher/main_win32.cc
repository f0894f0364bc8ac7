// The stand-in patcher ("patcher.exe") for Windows, used by the tests and
// the demo under Wine. It does what the launcher relies on of the real one
// and tells what it saw, with the Win32 API alone (none of the launcher's
// code, so it meets the launcher as a separate program would):
//   - holds the named mutex "QuillmerePatcherExist" while it runs;
//   - shows a window of class "QuillmerePatcherClass", title "Patcher";
//   - appends one record line to %FAKE_PATCHER_RECORD% (default
//     patcher-record.txt in its working directory);
//   - ends after %FAKE_PATCHER_SECONDS% (default 2; fractions allowed) or
//     when its window is closed.
//
// The record line is tab-separated key=value fields, in this order, UTF-8:
//   pid=<n> cwd=<dir> argc=<n> arg1=<a> ... lock=held|busy window=yes|no
// The arguments are split the way the C runtime splits a Windows command
// line. Tabs, newlines and backslashes inside values are written as \t, \n
// and \\ (so a Windows path shows doubled backslashes).
//
// Exit status: 0 after a normal run, 3 when another patcher holds the
// mutex, 2 when the record could not be written.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

constexpr wchar_t kMutexName[] = L"QuillmerePatcherExist";
constexpr wchar_t kWindowClass[] = L"QuillmerePatcherClass";

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::string Escape(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out += c;
    }
  }
  return out;
}

std::wstring Env(const wchar_t* name) {
  wchar_t buffer[1024];
  const DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
  return n == 0 || n >= 1024 ? std::wstring() : std::wstring(buffer, n);
}

double RunSeconds() {
  const std::wstring text = Env(L"FAKE_PATCHER_SECONDS");
  if (text.empty()) return 2.0;
  wchar_t* end = nullptr;
  const double seconds = std::wcstod(text.c_str(), &end);
  if (*end != L'\0' || !(seconds >= 0) || seconds > 1e6) return 2.0;
  return seconds;
}

bool AppendRecord(const std::string& line) {
  std::wstring path = Env(L"FAKE_PATCHER_RECORD");
  if (path.empty()) path = L"patcher-record.txt";
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  // One write, so that records of patchers running side by side never mix.
  DWORD written = 0;
  const BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
  return ok != 0 && written == line.size();
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

HWND ShowPatcherWindow(HINSTANCE instance) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = kWindowClass;
  if (RegisterClassW(&wc) == 0) return nullptr;
  HWND hwnd = CreateWindowExW(0, kWindowClass, L"Patcher", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, 320, 160, nullptr, nullptr, instance, nullptr);
  if (hwnd != nullptr) ShowWindow(hwnd, SW_SHOWNORMAL);
  return hwnd;
}

// Runs the window's messages until the run time is over or it is closed.
void Run(double seconds, HWND window) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000.0);
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return;
    const DWORD wait = static_cast<DWORD>(deadline - now < 1000 ? deadline - now : 1000);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) return;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (window != nullptr && IsWindow(window) == 0) return;
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, kMutexName);
  const bool held = mutex != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
  HWND window = held ? ShowPatcherWindow(instance) : nullptr;

  wchar_t cwd[MAX_PATH * 4];
  const DWORD cwdLength = GetCurrentDirectoryW(MAX_PATH * 4, cwd);
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::string line = "pid=" + std::to_string(GetCurrentProcessId()) +
                     "\tcwd=" + Escape(Utf8(std::wstring(cwd, cwdLength))) +
                     "\targc=" + std::to_string(argc > 0 ? argc - 1 : 0);
  for (int i = 1; i < argc; ++i) {
    line += "\targ" + std::to_string(i) + "=" + Escape(Utf8(argv[i]));
  }
  LocalFree(argv);
  line += held ? "\tlock=held" : "\tlock=busy";
  line += window != nullptr ? "\twindow=yes" : "\twindow=no";
  line += '\n';
  if (!AppendRecord(line)) return 2;
  if (!held) return 3;

  Run(RunSeconds(), window);
  CloseHandle(mutex);
  return 0;
}
