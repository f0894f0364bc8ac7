// A stand-in for the launcher's worker, for the kill test: runs one
// incremental update the way the normal path would, in a process that the
// test kills with SIGKILL at random moments.
//
//   update_kill_harness <launcher dir> <base url> <local version> <server version>
//
// Exit status: 0 when the installation is at the server version (already, or
// after this run), 2 when the update failed, 64 for bad arguments.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "files/paths.h"
#include "files/utf16.h"
#include "net/downloader.h"
#include "update/incremental_update.h"
#include "update/state_files.h"
#include "update/update_state.h"

int main(int argc, char** argv) {
  using namespace launcher;
  if (argc != 5 || ::chdir(argv[1]) != 0) {
    std::fprintf(stderr, "usage: %s <launcher dir> <base url> <local> <server>\n", argv[0]);
    return 64;
  }
  SetServerBaseUrl(Widen(argv[2]));
  const int server = std::atoi(argv[4]);
  // What the version decision of the normal path would find.
  if (ReadNumberFileOrZero(VersionFilePath) == server) return 0;
  LocalVersion = std::atoi(argv[3]);
  ServerVersion = server;
  SharedDownloader = std::make_unique<Downloader>();
  return RunIncrementalUpdate() == 1 ? 0 : 2;
}
