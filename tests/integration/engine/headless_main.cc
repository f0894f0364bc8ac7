// launcher-headless: runs the launcher's worker (UpdateThreadProc) without a
// window, for the demo and for tests that want the whole engine as a real
// process; the same source builds launcher-headless.exe for Windows, which
// tests run under Wine. Every display call is mirrored to standard output,
// one line each:
//   status: <text>   detail: <text>   total: <n>   file: <n>   hide   close
// (file lines only when the value changes). The user's close (headless_wait.h:
// SIGINT or SIGTERM, on Windows Ctrl+C, Ctrl+Break or closing the console)
// prints "closing" and acts as closing the window.
//
// Two hooks for tests that drive the real process, from the environment:
//   LAUNCHER_HEADLESS_SIMULATED_TIME=1  the engine's pauses take no time (its
//     clock moves on by what it sleeps), so outcome pauses and retries cost
//     nothing;
//   LAUNCHER_HEADLESS_FREEZE_AFTER=N[,M]  after the N-th status, detail or
//     total line, and then M file lines, print "frozen" and hold the worker
//     inside that display call for ever, for the test to kill the process at
//     that very point;
//   LAUNCHER_HEADLESS_CA_FILE=<PEM file>  https servers are verified against
//     this authority instead of the system's (a test's own certificate).
//
// launcher-headless-signed is the same program holding the test release key,
// as a launcher built with release keys (crypto/release_keys.h).
//
// Usage: launcher-headless [--dir <launcher directory>] [FullCheck] [/update]
// The command line is split as the launcher splits its own
// (ProcessCommandLine: on Windows the whole line from GetCommandLineW). The
// working directory is --dir when given, else the current one; it must hold
// what the launcher's own directory holds ("stringtab.txt", with ../patcher/
// and ../config/ beside it). Exits 2 on a usage error, else 0.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "crypto/release_keys.h"
#include "files/paths.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "headless_wait.h"
#include "net/downloader.h"
#include "platform/clock.h"
#ifdef LAUNCHER_HEADLESS_RELEASE_KEY
#include "headless_release_keys.h"
#endif
#include "platform/command_line.h"
#include "seam/cancel.h"
#include "seam/status_display.h"
#include "support/fake_clock.h"
#include "update/update_driver.h"

namespace {

using namespace launcher;

// Where LAUNCHER_HEADLESS_FREEZE_AFTER stops the worker; -1: nowhere.
struct FreezePoint {
  long lines = -1;     // status, detail and total lines
  long fileLines = 0;  // then this many file lines
};

FreezePoint FreezePointFromEnvironment() {
  FreezePoint point;
  const char* text = std::getenv("LAUNCHER_HEADLESS_FREEZE_AFTER");
  if (text == nullptr) return point;
  char* end = nullptr;
  point.lines = std::strtol(text, &end, 10);
  if (*end == ',') point.fileLines = std::strtol(end + 1, nullptr, 10);
  return point;
}

class PrintingDisplay : public StatusDisplay {
 public:
  PrintingDisplay(bool updateMode, FreezePoint freeze) : updateMode_(updateMode), freeze_(freeze) {}

  void SetStatusText(std::u16string_view text) override { Print("status: " + ToUtf8(text)); }
  void SetDetailText(std::u16string_view text) override { Print("detail: " + ToUtf8(text)); }
  void SetTotalProgress(int percent) override { Print("total: " + std::to_string(percent)); }
  void SetFileProgress(int percent) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (percent == lastFilePercent_) return;
    lastFilePercent_ = percent;
    std::printf("file: %d\n", percent);
    std::fflush(stdout);
    if (lines_ >= freeze_.lines && freeze_.lines >= 0 && ++fileLines_ >= freeze_.fileLines) {
      Freeze(lock);
    }
  }
  void HideForHandOff() override { Print("hide"); }
  void RequestClose() override { Print("close"); }
  bool UpdateMode() const override { return updateMode_; }

 private:
  void Print(const std::string& line) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    const bool counted = line.rfind("status: ", 0) == 0 || line.rfind("detail: ", 0) == 0 ||
                         line.rfind("total: ", 0) == 0;
    if (counted && ++lines_ == freeze_.lines && freeze_.fileLines == 0) Freeze(lock);
  }
  // Holds the calling thread (the worker) for ever.
  void Freeze(std::unique_lock<std::mutex>& lock) {
    std::printf("frozen\n");
    std::fflush(stdout);
    lock.unlock();
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }

  std::mutex mutex_;
  int lastFilePercent_ = -1;
  bool updateMode_;
  FreezePoint freeze_;
  long lines_ = 0;
  long fileLines_ = 0;
};

int Usage() {
  std::fprintf(stderr,
               "usage: launcher-headless [--dir <launcher directory>] [FullCheck] [/update]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLineArgs all = ProcessCommandLine(argc, argv);
  CommandLineArgs switchArgs;
  switchArgs.args[0] = all.args[0];
  switchArgs.count = 1;
  std::u16string dir;
  for (std::size_t i = 1; i < static_cast<std::size_t>(all.count); ++i) {
    const std::u16string& arg = all.args[i];
    if (arg == u"--dir") {
      if (i + 1 >= static_cast<std::size_t>(all.count)) return Usage();
      dir = all.args[++i];
    } else if (arg == u"--help" || arg == u"-h") {
      return Usage();
    } else {
      switchArgs.args[static_cast<std::size_t>(switchArgs.count++)] = arg;
    }
  }
  std::error_code ec;
  if (!dir.empty()) std::filesystem::current_path(ToPath(dir), ec);
  if (ec) {
    std::fprintf(stderr, "launcher-headless: cannot enter %s: %s\n", ToUtf8(dir).c_str(),
                 ec.message().c_str());
    return 2;
  }
  const Switches switches = ParseSwitches(switchArgs);

#ifdef LAUNCHER_HEADLESS_RELEASE_KEY
  static const ReleaseKeys releaseKeys({kHeadlessReleaseKeyPem});
  SetReleaseKeys(&releaseKeys);
#endif
  LoadStringTable(StringTablePath);
  PrintingDisplay display(switches.updateMode != 0, FreezePointFromEnvironment());
  g_launcherWindow = &display;
  testing::FakeClock simulated;
  const char* simulate = std::getenv("LAUNCHER_HEADLESS_SIMULATED_TIME");
  if (simulate != nullptr && std::string(simulate) == "1") SetEngineClock(&simulated);
  if (const char* caFile = std::getenv("LAUNCHER_HEADLESS_CA_FILE")) {
    Downloader::Options options;
    options.caFile = caFile;
    Downloader::SetDefaultOptionsForTesting(options);
  }

  // The worker runs on its own thread, as under the window; this thread
  // waits for it to finish or for the user's close.
  headless::PrepareCloseWait();
  const int fullCheck = switches.fullCheck;
  std::thread worker([&fullCheck] {
    UpdateThreadProc(&fullCheck);
    headless::NotifyWorkerFinished();
  });
  if (headless::WaitForCloseOrFinish()) {
    std::printf("closing\n");
    std::fflush(stdout);
    RunCloseHandshake();
  }
  worker.join();
  g_launcherWindow = nullptr;
  return 0;
}
