// One installation in a temporary directory, updated by the real launcher
// (a launcher-headless, the whole worker as a process: Linux's, or
// Windows' under Wine, see support/headless_program.h) from a server the
// test names: runs to the end, or killed with SIGKILL a third of the way
// into the large file it is fetching.
//
// The launcher's process sees the test's environment (proxy variables
// included). Not thread-safe.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/headless_program.h"
#include "support/release_server.h"
#include "support/temp_dir.h"

namespace launcher::testing {

class TcpRelay;

class LauncherRun {
 public:
  explicit LauncherRun(HeadlessProgram program = HeadlessProgram::Linux());

  // Makes `baseUrl` (ending in "/") the selected server.
  void UseServer(const std::string& baseUrl);
  // Makes `downUrl` the selected server and `baseUrl` its one mirror.
  void UseMirrorOf(const std::string& downUrl, const std::string& baseUrl);

  // Runs the launcher ("FullCheck" when `fullCheck`) to its end, at most
  // `limitSeconds`. Its exit status, or -1 when it had to be killed.
  int Run(bool fullCheck, int limitSeconds = 60);
  // The same in two steps, so that several launchers run at once: Start
  // returns the process id (or -1), Wait its exit status (or -1).
  pid_t Start(bool fullCheck);
  int Wait(pid_t pid, int limitSeconds = 60);

  struct Killed {
    bool killed = false;
    std::int64_t bytesDone = 0;   // what the resume record held at the kill
    std::int64_t totalBytes = 0;  // the file's length as the record has it
  };
  // Runs a normal update and kills it once the resume record shows a third
  // of a file longer than `minTotal` fetched.
  Killed RunKilledAtAThird(std::int64_t minTotal);

  // ../patcher/ without server/ and the patcher.
  Release Installed() const;
  // The installation's ../patcher/ and ../config/patcher/.
  std::filesystem::path PatcherDir() const { return dir_.path() / "patcher"; }
  std::filesystem::path ConfigDir() const { return dir_.path() / "config" / "patcher"; }
  std::string InstalledVersion() const;
  // A file under ../config/patcher/ ("trusted.sw"), or empty when missing.
  std::string ConfigFile(const std::string& name) const;
  std::string Output() const;
  // The update log's lines without their time stamps.
  std::vector<std::string> LogLines() const;
  // The first argument of each start of the stand-in patcher.
  std::vector<std::string> PatcherStarts() const;
  // The journey's small files of version 2 staged under temp/ (a run killed
  // in the update leaves those it fetched ahead).
  int StagedSmallFiles() const;

 private:
  HeadlessProgram program_;
  TempDir dir_;
  std::filesystem::path launcher_;
};

// The journey of the server tests, for any launcher: two releases with a
// large file and small ones after it, a first installation from nothing
// (the full check), then an update killed a third of the way into the large
// file and run again, which must move only the rest of it over the wire
// (counted by a relay in front of the server). The small files are fetched
// ahead while the large one comes; those staged before the kill must not be
// fetched again.
constexpr std::size_t kJourneyBigFile = 3 << 20;
constexpr int kJourneySmallFiles = 20;
constexpr std::size_t kJourneySmallFile = 16 << 10;
// Slow enough that the kill lands a third of the way into the large file.
constexpr std::int64_t kJourneyRate = 6 << 20;
Release JourneyVersion1();
Release JourneyVersion2();

// Two served trees side by side: <Root>/v1 publishes version 1, <Root>/v2
// versions 1 and 2.
class JourneyTrees {
 public:
  JourneyTrees();
  std::filesystem::path Root() const { return dir_ / "served"; }

 private:
  TempDir dir_;
};

// The paths whose content differs between two trees; empty when equal.
std::string Differences(const Release& got, const Release& want);

struct JourneyExpect {
  std::string scheme = "http";  // how the relay is addressed
  bool ranges = true;           // the server honours byte ranges
  // More than 0: connections a whole run opens at most (the server keeps
  // them: 1 for HTTP/2, the HTTP/1.1 maximum otherwise).
  int connectionsAtMost = 0;
  // Small files fetched ahead arrive before the large file's first third:
  // each HTTP/1.1 transfer has a connection of its own. On one HTTP/2
  // connection they may queue behind the large file's bytes.
  bool smallFilesFirst = true;
  // Moved by a resumed run besides the rest of the large file: product id,
  // version, small files, every answer's header (and a proxy's reading
  // ahead).
  std::int64_t slack = 96 << 10;
  // The selected server refuses connections; the relay is its mirror.
  bool homeDown = false;
};

// The whole journey with `launcher` against whatever listens behind
// `relay` (which serves JourneyTrees' root). Fails the calling test.
void InstallThenResumeUpdate(LauncherRun& launcher, TcpRelay& relay, const JourneyExpect& expect);

}  // namespace launcher::testing
