// HeadlessRun: the real launcher (launcher-headless, the worker without a
// window) as a child process, its display lines read from a pipe, for the
// tests that kill it with SIGKILL at chosen or random moments.
//
// The child runs in `launcherDir` with the given switches ("FullCheck") and
// extra environment variables ("NAME=value"), for instance the headless
// program's LAUNCHER_HEADLESS_SIMULATED_TIME and
// LAUNCHER_HEADLESS_FREEZE_AFTER hooks. Its standard error goes to
// /dev/null. The destructor kills and reaps a child still running.
// Not thread-safe; one thread drives one run.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace launcher::testing {

class HeadlessRun {
 public:
  HeadlessRun(const std::filesystem::path& launcherDir, const std::vector<std::string>& switches,
              const std::vector<std::string>& environment = {});
  ~HeadlessRun();
  HeadlessRun(const HeadlessRun&) = delete;
  HeadlessRun& operator=(const HeadlessRun&) = delete;

  bool started() const { return pid_ > 0; }

  // Reads display lines until one equals `line`; false on a time-out or
  // when the process ended first.
  bool WaitForLine(const std::string& line, int timeoutMs);
  // Waits up to `ms` for the process to end by itself.
  bool WaitExit(int ms);
  void Kill();
  bool exited_cleanly() const { return exited_; }
  // Every display line read so far, in order.
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  enum class Read { kData, kNothing, kClosed };
  // Reads what the pipe holds within `waitMs` into lines_.
  Read ReadAvailable(int waitMs);

  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  std::vector<std::string> lines_;
  std::size_t seen_ = 0;  // lines WaitForLine has looked at
  bool exited_ = false;
};

}  // namespace launcher::testing
