// launcher-headless.exe: the launcher's worker (UpdateThreadProc) without a
// window, for the Windows build; the tests in tests/integration/windows run
// it under Wine against servers on Linux loopback. Every display call is
// printed, one line each, as launcher-headless on Linux prints it:
//   status: <text>   detail: <text>   total: <n>   file: <n>   hide   close
// Ctrl+C / Ctrl+Break / closing the console acts as the user closing the
// window.
//
// Usage: launcher-headless.exe [--dir <launcher directory>] [FullCheck] [/update]
// The command line is split by the launcher's own rules (GetCommandLineW).
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "files/paths.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "platform/command_line.h"
#include "seam/cancel.h"
#include "seam/status_display.h"
#include "update/update_driver.h"

namespace {

using namespace launcher;

class PrintingDisplay : public StatusDisplay {
 public:
  explicit PrintingDisplay(bool updateMode) : updateMode_(updateMode) {}

  void SetStatusText(std::u16string_view text) override { Print("status: " + ToUtf8(text)); }
  void SetDetailText(std::u16string_view text) override { Print("detail: " + ToUtf8(text)); }
  void SetTotalProgress(int percent) override { Print("total: " + std::to_string(percent)); }
  void SetFileProgress(int percent) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (percent == lastFilePercent_) return;
    lastFilePercent_ = percent;
    std::printf("file: %d\n", percent);
    std::fflush(stdout);
  }
  void HideForHandOff() override { Print("hide"); }
  void RequestClose() override { Print("close"); }
  bool UpdateMode() const override { return updateMode_; }

 private:
  void Print(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }

  std::mutex mutex_;
  int lastFilePercent_ = -1;
  bool updateMode_;
};

HANDLE g_closeRequested = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
  ::SetEvent(g_closeRequested);
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLineArgs all = ProcessCommandLine(argc, argv);
  CommandLineArgs switchArgs;
  switchArgs.args[0] = all.args[0];
  switchArgs.count = 1;
  std::filesystem::path dir;
  for (int i = 1; i < all.count; ++i) {
    const std::u16string& arg = all.args[static_cast<std::size_t>(i)];
    if (arg == u"--dir" && i + 1 < all.count) {
      dir = ToPath(all.args[static_cast<std::size_t>(++i)]);
    } else {
      switchArgs.args[static_cast<std::size_t>(switchArgs.count++)] = arg;
    }
  }
  std::error_code ec;
  if (!dir.empty()) std::filesystem::current_path(dir, ec);
  if (ec) {
    std::fprintf(stderr, "launcher-headless: cannot enter the directory: %s\n",
                 ec.message().c_str());
    return 2;
  }
  const Switches switches = ParseSwitches(switchArgs);

  LoadStringTable(StringTablePath);
  PrintingDisplay display(switches.updateMode != 0);
  g_launcherWindow = &display;

  g_closeRequested = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE finished = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  const int fullCheck = switches.fullCheck;
  std::thread worker([&fullCheck, finished] {
    UpdateThreadProc(&fullCheck);
    ::SetEvent(finished);
  });
  HANDLE events[] = {finished, g_closeRequested};
  if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
    std::printf("closing\n");
    std::fflush(stdout);
    RunCloseHandshake();
  }
  worker.join();
  g_launcherWindow = nullptr;
  return 0;
}
