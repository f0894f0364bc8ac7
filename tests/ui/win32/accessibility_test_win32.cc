// What a screen reader gets from the launcher window, read from another
// process as a screen reader reads it: Microsoft Active Accessibility
// through AccessibleObjectFromWindow, the four children with their roles,
// names, values and places, and, while the values change, the change events
// and the values read at each of them. The window is window_probe.exe of
// this build, in a chosen state.
#include <windows.h>
// After windows.h.
#include <oleacc.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr LONG kTotalBar = 1;
constexpr LONG kFileBar = 2;
constexpr LONG kStatusLine = 3;
constexpr LONG kDetailLine = 4;

VARIANT Child(LONG id) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = id;
  return v;
}

// A BSTR property as text; "<none>" when the call fails or gives none.
template <typename Getter>
std::wstring Text(Getter get) {
  BSTR text = nullptr;
  const HRESULT hr = get(&text);
  std::wstring out = SUCCEEDED(hr) && text != nullptr ? std::wstring(text) : L"<none>";
  SysFreeString(text);
  return out;
}

std::wstring Name(IAccessible* acc, LONG id) {
  return Text([&](BSTR* t) { return acc->get_accName(Child(id), t); });
}

std::wstring Value(IAccessible* acc, LONG id) {
  return Text([&](BSTR* t) { return acc->get_accValue(Child(id), t); });
}

LONG Role(IAccessible* acc, LONG id) {
  VARIANT role;
  VariantInit(&role);
  if (FAILED(acc->get_accRole(Child(id), &role)) || role.vt != VT_I4) return -1;
  return role.lVal;
}

// Runs the message loop (WinEvent hooks and COM calls need one) until
// `done` or the time is up.
template <typename Pred>
bool PumpUntil(Pred done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return true;
}

// What the hook saw: each event with the child's name and value read at
// that moment, as a screen reader reads them.
struct Heard {
  DWORD event;
  LONG child;
  std::wstring name;
  std::wstring value;
};
std::vector<Heard> g_heard;

void CALLBACK OnEvent(HWINEVENTHOOK, DWORD event, HWND hwnd, LONG object, LONG child, DWORD,
                      DWORD) {
  if (object != OBJID_CLIENT) return;
  IAccessible* acc = nullptr;
  VARIANT which;
  VariantInit(&which);
  if (FAILED(AccessibleObjectFromEvent(hwnd, static_cast<DWORD>(object), static_cast<DWORD>(child),
                                       &acc, &which))) {
    return;
  }
  g_heard.push_back({event, which.lVal, Name(acc, which.lVal), Value(acc, which.lVal)});
  acc->Release();
}

class AccessibilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    probe_ = fs::path(self).parent_path() / "window_probe.exe";
    record_ = temp_.path() / "record.txt";
  }
  void TearDown() override {
    if (process_.hProcess != nullptr) {
      if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.hProcess, 1);
      }
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
    CoUninitialize();
  }

  // Starts the probe with `args` after the record file and waits for its
  // window; null when none came.
  HWND StartProbe(const std::vector<std::wstring>& args) {
    std::wstring line = L"\"" + probe_.wstring() + L"\" \"" + record_.wstring() + L"\"";
    for (const std::wstring& a : args) line += L" \"" + a + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (CreateProcessW(probe_.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       temp_.path().c_str(), &startup, &process_) == 0) {
      return nullptr;
    }
    HWND found = nullptr;
    PumpUntil(
        [&] {
          found = nullptr;
          for (HWND w = FindWindowW(L"QuillmereLauncherClass", L"Launcher"); w != nullptr;
               w = FindWindowExW(nullptr, w, L"QuillmereLauncherClass", L"Launcher")) {
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (pid == process_.dwProcessId) found = w;
          }
          return found != nullptr && Recorded("ready");
        },
        20s);
    return found;
  }

  bool Recorded(const std::string& wanted) {
    std::ifstream in(record_);
    for (std::string line; std::getline(in, line);)
      if (line == wanted) return true;
    return false;
  }

  TempDir temp_;
  fs::path probe_;
  fs::path record_;
  PROCESS_INFORMATION process_{};
};

TEST_F(AccessibilityTest, AScreenReaderReadsTheLinesAndBarsAndHearsThemChange) {
  const HWND hwnd = StartProbe({L"steps", L"Downloading &files", L"data/补丁&&1.pak", L"40", L"70",
                                L"正在安装", L"", L"100", L"0"});
  ASSERT_NE(hwnd, nullptr);
  IAccessible* acc = nullptr;
  ASSERT_EQ(AccessibleObjectFromWindow(hwnd, static_cast<DWORD>(OBJID_CLIENT),
                                       __uuidof(IAccessible), reinterpret_cast<void**>(&acc)),
            S_OK);
  ASSERT_NE(acc, nullptr);

  // The window itself, then its four children, in the window's order.
  EXPECT_EQ(Name(acc, CHILDID_SELF), L"Launcher");
  EXPECT_EQ(Role(acc, CHILDID_SELF), ROLE_SYSTEM_CLIENT);
  LONG count = 0;
  ASSERT_EQ(acc->get_accChildCount(&count), S_OK);
  ASSERT_EQ(count, 4);
  VARIANT children[4];
  LONG obtained = 0;
  ASSERT_TRUE(SUCCEEDED(AccessibleChildren(acc, 0, 4, children, &obtained)));
  ASSERT_EQ(obtained, 4);
  for (LONG i = 0; i < 4; ++i) {
    ASSERT_EQ(children[i].vt, VT_I4);
    EXPECT_EQ(children[i].lVal, i + 1);
  }
  // Names as drawn: the ampersand that marks an underline is not read, a
  // doubled one is read once.
  EXPECT_EQ(Role(acc, kTotalBar), ROLE_SYSTEM_PROGRESSBAR);
  EXPECT_EQ(Role(acc, kFileBar), ROLE_SYSTEM_PROGRESSBAR);
  EXPECT_EQ(Role(acc, kStatusLine), ROLE_SYSTEM_STATICTEXT);
  EXPECT_EQ(Role(acc, kDetailLine), ROLE_SYSTEM_STATICTEXT);
  EXPECT_EQ(Name(acc, kStatusLine), L"Downloading files");
  EXPECT_EQ(Name(acc, kDetailLine), L"data/补丁&1.pak");
  EXPECT_EQ(Name(acc, kTotalBar), L"Downloading files") << "a bar is named by its line";
  EXPECT_EQ(Name(acc, kFileBar), L"data/补丁&1.pak");
  EXPECT_EQ(Value(acc, kTotalBar), L"40%");
  EXPECT_EQ(Value(acc, kFileBar), L"70%");
  EXPECT_EQ(Value(acc, kStatusLine), L"<none>");

  // Places on the screen: the lower bar at 47,132 of the window, 140 x 10
  // (the probe runs at 96 dots per inch under Wine); a point in it hits it.
  RECT window{};
  GetWindowRect(hwnd, &window);
  LONG x = 0, y = 0, w = 0, h = 0;
  ASSERT_EQ(acc->accLocation(&x, &y, &w, &h, Child(kFileBar)), S_OK);
  EXPECT_EQ(x - window.left, 47);
  EXPECT_EQ(y - window.top, 132);
  EXPECT_EQ(w, 140);
  EXPECT_EQ(h, 10);
  VARIANT hit;
  VariantInit(&hit);
  ASSERT_EQ(acc->accHitTest(x + 70, y + 5, &hit), S_OK);
  EXPECT_EQ(hit.vt, VT_I4);
  EXPECT_EQ(hit.lVal, kFileBar);
  VARIANT next;
  VariantInit(&next);
  EXPECT_EQ(acc->accNavigate(NAVDIR_NEXT, Child(kStatusLine), &next), S_OK);
  EXPECT_EQ(next.lVal, kDetailLine);
  EXPECT_EQ(acc->accNavigate(NAVDIR_NEXT, Child(kDetailLine), &next), S_FALSE);

  // The values change as during an update: each change is announced, and
  // what is read when the event arrives is the new value.
  HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_NAMECHANGE, EVENT_OBJECT_VALUECHANGE, nullptr,
                                       OnEvent, process_.dwProcessId, 0, WINEVENT_OUTOFCONTEXT);
  ASSERT_NE(hook, nullptr);
  std::ofstream(fs::path(record_.wstring() + L".release")) << "go\n";
  std::map<std::pair<DWORD, LONG>, Heard> last;
  const bool allHeard = PumpUntil(
      [&] {
        for (const Heard& heard : g_heard) last[{heard.event, heard.child}] = heard;
        return last.size() == 6;
      },
      20s);
  UnhookWinEvent(hook);
  ASSERT_TRUE(allHeard) << last.size() << " of 6 events";
  const auto name = [&](LONG child) { return last[{EVENT_OBJECT_NAMECHANGE, child}].name; };
  const auto value = [&](LONG child) { return last[{EVENT_OBJECT_VALUECHANGE, child}].value; };
  EXPECT_EQ(name(kStatusLine), L"正在安装");
  EXPECT_EQ(name(kTotalBar), L"正在安装");
  EXPECT_EQ(name(kDetailLine), L"<none>") << "an emptied line has no name";
  EXPECT_EQ(name(kFileBar), L"<none>");
  EXPECT_EQ(value(kTotalBar), L"100%");
  EXPECT_EQ(value(kFileBar), L"0%");

  // Once the window has gone, the object a reader still holds answers with
  // an error instead of reaching a window that no longer exists.
  PostMessageW(hwnd, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitForSingleObject(process_.hProcess, 20000), WAIT_OBJECT_0);
  EXPECT_TRUE(Recorded("closed"));
  EXPECT_TRUE(FAILED(acc->get_accChildCount(&count)));
  acc->Release();
}

}  // namespace
}  // namespace launcher::testing
