// The Windows platform layer against the system itself (under Wine in this
// repository's runs): the named mutex between two processes, the "open"
// start of a program with its arguments and directory, the executable's own
// path, and raising a window found by its class.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/clock.h"
#include "platform/named_lock.h"
#include "platform/process.h"
#include "platform/window_raise.h"
#include "support/temp_dir.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

const fs::path kHelper = fs::path(ExecutablePath()).parent_path() / "platform_win32_helper.exe";

// Waits for a file the helper writes whole; empty after 30 s.
std::string WaitForFile(const fs::path& path) {
  for (int i = 0; i < 1500; ++i) {
    if (fs::exists(path)) {
      std::ifstream in(path, std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      return text.str();
    }
    ::Sleep(20);
  }
  return {};
}

// A helper process started directly, so that the test can wait for its end.
class Helper {
 public:
  explicit Helper(std::wstring arguments) {
    std::wstring line = L"\"" + kHelper.wstring() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    ok_ = ::CreateProcessW(kHelper.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           nullptr, &startup, &info_) != 0;
    if (ok_) ::CloseHandle(info_.hThread);
  }
  ~Helper() {
    if (ok_) {
      Wait();
      ::CloseHandle(info_.hProcess);
    }
  }
  bool ok() const { return ok_; }
  bool Wait() { return ::WaitForSingleObject(info_.hProcess, 30000) == WAIT_OBJECT_0; }

 private:
  bool ok_ = false;
  PROCESS_INFORMATION info_{};
};

std::string UniqueName(const char* base) {
  return std::string(base) + std::to_string(::GetCurrentProcessId());
}

TEST(NamedMutexTest, ExcludesAnotherProcessUntilItEnds) {
  TempDir dir;
  const std::string name = UniqueName("QuillmereTestLock");
  const fs::path ready = dir / "ready";
  const fs::path release = dir / "release";
  const std::wstring wideName(name.begin(), name.end());
  {
    Helper holder(L"hold " + wideName + L" \"" + ready.wstring() + L"\" \"" + release.wstring() +
                  L"\"");
    ASSERT_TRUE(holder.ok());
    ASSERT_EQ(WaitForFile(ready), "acquired");
    EXPECT_TRUE(NamedLock::IsHeld(name));
    NamedLock::Outcome outcome = NamedLock::Outcome::kAcquired;
    EXPECT_EQ(NamedLock::TryAcquire(name, &outcome), nullptr);
    EXPECT_EQ(outcome, NamedLock::Outcome::kHeldElsewhere);
    std::ofstream(release).put('x');
    ASSERT_TRUE(holder.Wait());
  }
  // The system released the mutex with the process; the probes left none.
  EXPECT_FALSE(NamedLock::IsHeld(name));
  NamedLock::Outcome outcome = NamedLock::Outcome::kUnavailable;
  std::unique_ptr<NamedLock> mine = NamedLock::TryAcquire(name, &outcome);
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(outcome, NamedLock::Outcome::kAcquired);

  // Now the other process is the second one.
  fs::remove(ready);
  Helper second(L"hold " + wideName + L" \"" + ready.wstring() + L"\" \"" + release.wstring() +
                L"\"");
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(WaitForFile(ready), "held");
}

TEST(NamedMutexTest, ObjectsOfOneProcessExcludeEachOtherAndBadNamesAreRefused) {
  const std::string name = UniqueName("QuillmereTestSelf");
  std::unique_ptr<NamedLock> first = NamedLock::TryAcquire(name);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(NamedLock::TryAcquire(name), nullptr);
  first.reset();
  EXPECT_NE(NamedLock::TryAcquire(name), nullptr);

  for (const char* bad : {"", "Global\\Quillmere", "Local\\Quillmere"}) {
    NamedLock::Outcome outcome = NamedLock::Outcome::kAcquired;
    EXPECT_EQ(NamedLock::TryAcquire(bad, &outcome), nullptr) << bad;
    EXPECT_EQ(outcome, NamedLock::Outcome::kUnavailable) << bad;
    EXPECT_FALSE(NamedLock::IsHeld(bad)) << bad;
  }
  EXPECT_TRUE(NamedLock::LockFilePath(name).empty());
}

TEST(ProcessStartTest, OpensTheProgramWithItsArgumentsInItsDirectory) {
  TempDir dir;
  const fs::path workDir = dir / "patcher dir";
  fs::create_directories(workDir);
  const fs::path out = dir / "record.txt";
  const std::u8string outUtf8 = out.u8string();
  ASSERT_TRUE(StartDetachedProcess(
      kHelper, {"record", std::string(outUtf8.begin(), outUtf8.end()), "/update", "two words", ""},
      workDir));
  const std::string record = WaitForFile(out);
  const std::u8string dirUtf8 = fs::canonical(workDir).u8string();
  std::istringstream lines(record);
  std::vector<std::string> got;
  for (std::string line; std::getline(lines, line);) got.push_back(line);
  ASSERT_EQ(got.size(), 7u) << record;
  EXPECT_EQ(fs::path(got[0]).filename(), "platform_win32_helper.exe");
  EXPECT_EQ(got[1], "record");
  EXPECT_EQ(got[3], "/update");
  EXPECT_EQ(got[4], "two words");
  EXPECT_EQ(got[5], "");
  EXPECT_EQ(fs::canonical(fs::path(got[6])), fs::canonical(workDir)) << got[6];
  EXPECT_EQ(fs::path(got[6]).u8string(), dirUtf8);
}

TEST(ProcessStartTest, FailsForAMissingProgramOrDirectory) {
  TempDir dir;
  EXPECT_FALSE(StartDetachedProcess(dir / "missing.exe", {"/update"}, dir.path()));
  EXPECT_FALSE(StartDetachedProcess(kHelper, {"/update"}, dir / "no-such-dir"));
}

TEST(ExecutablePathTest, NamesThisTestProgram) {
  const fs::path self = ExecutablePath();
  EXPECT_TRUE(self.is_absolute());
  EXPECT_EQ(self.filename(), "platform_win32_test.exe");
  EXPECT_TRUE(fs::exists(self));
}

TEST(SystemClockTest, TickAdvancesAcrossASleep) {
  const std::uint32_t before = SystemTickCount();
  SystemSleep(50);
  EXPECT_GE(static_cast<std::uint32_t>(SystemTickCount() - before), 40u);
}

// A window of a class of our own, hidden, on a thread that pumps its
// messages as a real window's thread does.
class ClassWindow {
 public:
  ClassWindow(const wchar_t* className, const wchar_t* title) {
    thread_ = std::thread([this, className, title] {
      WNDCLASSW wc{};
      wc.lpfnWndProc = ::DefWindowProcW;
      wc.hInstance = ::GetModuleHandleW(nullptr);
      wc.lpszClassName = className;
      ::RegisterClassW(&wc);
      window_ = ::CreateWindowExW(0, className, title, WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                  nullptr, wc.hInstance, nullptr);
      created_ = true;
      MSG msg;
      while (window_ != nullptr && ::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
      }
    });
    while (!created_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~ClassWindow() {
    if (window_ != nullptr) ::PostMessageW(window_, WM_QUIT, 0, 0);
    thread_.join();
  }
  HWND window() const { return window_; }

 private:
  std::thread thread_;
  HWND window_ = nullptr;
  std::atomic<bool> created_{false};
};

TEST(WindowRaiseTest, ShowsTheWindowFoundByClassAndTitle) {
  ClassWindow patcher(L"QuillmereTestPatcherClass", L"Patcher");
  ASSERT_NE(patcher.window(), nullptr);
  ASSERT_FALSE(::IsWindowVisible(patcher.window()));
  EXPECT_FALSE(RaiseWindowByClass("QuillmereTestPatcherClass", "Launcher"));
  EXPECT_FALSE(RaiseWindowByClass("QuillmereTestOther"));
  EXPECT_FALSE(::IsWindowVisible(patcher.window()));
  EXPECT_TRUE(RaiseWindowByClass("QuillmereTestPatcherClass"));
  EXPECT_TRUE(::IsWindowVisible(patcher.window()));
  ::ShowWindow(patcher.window(), SW_MINIMIZE);
  EXPECT_TRUE(RaiseWindowByClass("QuillmereTestPatcherClass", "Patcher"));
  EXPECT_FALSE(::IsIconic(patcher.window()));
}

}  // namespace
}  // namespace launcher
