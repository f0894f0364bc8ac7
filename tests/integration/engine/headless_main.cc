// launcher-headless: runs the launcher's worker (UpdateThreadProc) without a
// window, for the demo and for tests that want the whole engine as a real
// process. Every display call is mirrored to standard output, one line each:
//   status: <text>   detail: <text>   total: <n>   file: <n>   hide   close
// (file lines only when the value changes). SIGINT or SIGTERM acts as the
// user closing the window.
//
// Usage: launcher-headless [--dir <launcher directory>] [FullCheck] [/update]
// The working directory is --dir when given, else the current one; it must
// hold what the launcher's own directory holds ("stringtab.txt", with
// ../patcher/ and ../config/ beside it).
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

int Usage() {
  std::fprintf(stderr,
               "usage: launcher-headless [--dir <launcher directory>] [FullCheck] [/update]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<const char*> switchArgs = {argv[0]};
  std::filesystem::path dir;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--dir") {
      if (i + 1 >= argc) return Usage();
      dir = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      return Usage();
    } else {
      switchArgs.push_back(argv[i]);
    }
  }
  std::error_code ec;
  if (!dir.empty()) std::filesystem::current_path(dir, ec);
  if (ec) {
    std::fprintf(stderr, "launcher-headless: cannot enter %s: %s\n", dir.c_str(),
                 ec.message().c_str());
    return 2;
  }
  const Switches switches =
      ParseSwitches(ArgsFromArgv(static_cast<int>(switchArgs.size()), switchArgs.data()));

  LoadStringTable(StringTablePath);
  PrintingDisplay display(switches.updateMode != 0);
  g_launcherWindow = &display;

  // The worker runs on its own thread, as under the window; this thread
  // waits for it to finish or for a signal that stands for closing the
  // window.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  const pthread_t mainThread = pthread_self();
  const int fullCheck = switches.fullCheck;
  std::thread worker([&fullCheck, mainThread] {
    UpdateThreadProc(&fullCheck);
    pthread_kill(mainThread, SIGUSR1);
  });

  int received = 0;
  sigwait(&signals, &received);
  if (received != SIGUSR1) {
    std::printf("closing\n");
    std::fflush(stdout);
    RunCloseHandshake();
  }
  worker.join();
  g_launcherWindow = nullptr;
  return 0;
}
