// One installation in a temporary directory, updated by the real launcher
// (launcher-headless, the whole worker as a process) from a server the test
// names: runs to the end, or killed with SIGKILL a third of the way into the
// large file it is fetching.
//
// The patcher it hands over to is a shell script that exits at once. The
// launcher's process sees the test's environment (proxy variables
// included). Not thread-safe.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "support/release_server.h"
#include "support/temp_dir.h"

namespace launcher::testing {

class LauncherRun {
 public:
  LauncherRun();

  // Makes `baseUrl` (ending in "/") the selected server.
  void UseServer(const std::string& baseUrl);

  // Runs the launcher ("FullCheck" when `fullCheck`) to its end, at most
  // `limitSeconds`. Its exit status, or -1 when it had to be killed.
  int Run(bool fullCheck, int limitSeconds = 60);

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
  std::string InstalledVersion() const;
  std::string Output() const;

 private:
  pid_t Spawn(bool fullCheck);

  TempDir dir_;
  std::filesystem::path launcher_;
};

}  // namespace launcher::testing
