// HeadlessProgram: which launcher-headless a test runs as a child process,
// and how. Either the Linux program of this build tree, or
// launcher-headless.exe of the windows build ($LAUNCHER_WINDOWS_BUILD_DIR,
// default build/windows of the source tree) under scripts/wine-run, in the
// source tree's Wine prefix (Wine maps / to Z:, so the same directories
// serve both). Both run in the launcher directory they are given and print
// the display calls on standard output (see headless_main.cc).
//
// The stand-in patcher differs too: a shell script on Linux,
// tools/fake-patcher's patcher.exe under Wine (which ends at once). Both
// append one line holding "arg1=<first argument>" to "patcher-record.txt"
// in the directory of the run's output file.
//
// Value type; Start() forks, so use it from the test's main thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace launcher::testing {

class HeadlessProgram {
 public:
  // `name`: "launcher-headless", or "launcher-headless-signed" for the
  // program that holds the test release key.
  static HeadlessProgram Linux(std::string_view name = "launcher-headless");
  // ok() is false (and stderr says why) when the windows build lacks the
  // program or the stand-in patcher.
  static HeadlessProgram Windows(std::string_view name = "launcher-headless");

  bool ok() const { return !program_.empty(); }
  bool windows() const { return windows_; }
  const char* name() const { return windows_ ? "Windows engine under Wine" : "Linux engine"; }

  // Puts the stand-in patcher at `patcherExe` ("../patcher/patcher.exe").
  void InstallPatcher(const std::filesystem::path& patcherExe) const;

  // Starts the program in `launcherDir` with `switches` ("FullCheck"),
  // standard output and error appended to `out`; the test's environment is
  // passed on (proxy variables included). The pid, or -1.
  pid_t Start(const std::filesystem::path& launcherDir, const std::vector<std::string>& switches,
              const std::filesystem::path& out) const;
  // Start() and wait at most `limit`; the exit status, or -1 when it had to
  // be killed. After a hand-off it also waits (up to 10 s) until the
  // stand-in patcher has recorded its start, so that the next run does not
  // find it still running.
  int Run(const std::filesystem::path& launcherDir, const std::vector<std::string>& switches,
          const std::filesystem::path& out,
          std::chrono::seconds limit = std::chrono::seconds(60)) const;

 private:
  std::filesystem::path program_;
  std::filesystem::path patcher_;  // Windows: the stand-in to copy
  bool windows_ = false;
};

// Waits for `pid` until `deadline`, killing it (SIGKILL) past that. Its exit
// status, or -1 when it was killed or did not exit normally.
int ReapChild(pid_t pid, std::chrono::steady_clock::time_point deadline);

// The lines of `text` without their line ends.
std::vector<std::string> TextLines(const std::string& text);
// A "stringtab.txt" whose slot n reads "S<n>" ("S0 %s => %s" and
// "S1 %s => %s" for the error log's two formats), so that display and log
// lines name their slots; the lower line's figures' format is left out, so
// that line shows the file name alone.
void WriteNumberedStringTable(const std::filesystem::path& file);
// The lines of an update log (UTF-16) without their time stamps, as UTF-8.
std::vector<std::string> UpdateLogLines(const std::filesystem::path& updateLog);
// The record file of a run whose output goes to `out`.
std::filesystem::path PatcherRecordFor(const std::filesystem::path& out);

}  // namespace launcher::testing
