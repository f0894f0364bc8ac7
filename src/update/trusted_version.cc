#include "update/trusted_version.h"

#include "files/paths.h"
#include "seam/cancel.h"
#include "update/state_files.h"

namespace launcher {

int ReadTrustedVersion() {
  const int version = ReadNumberFileOrZero(TrustedVersionPath);
  return version > 0 ? version : 0;
}

bool RaiseTrustedVersion(int version) {
  if (version <= ReadTrustedVersion()) return true;
  // One guarded section: a close of the window lets the record be written
  // whole before the worker ends.
  GuardedSection guard;
  return WriteNumberFile(TrustedVersionPath, version);
}

}  // namespace launcher
