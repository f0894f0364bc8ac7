// The "build" command: the complete server tree for the newest release.
//
// From a releases directory (one full snapshot of the patcher directory per
// version, named by its number) it writes, for the newest version V:
//   info/pid                 the product id
//   patcher/version          V
//   patcher/files.md5        the signed full list of V
//   patcher/v-<n>.inc        a signed incremental list per list distance n
//   patcher/patcher/<path>   the compressed form of every file of V, at its
//                            encoded path (without the leading "./")
//   patcher/delta.idx        the signed delta index, and patcher/delta/ the
//                            patches it names (deltas.h)
// and, with release keys, the release manifest ("patcher/manifest") and the
// signed release statement ("patcher/statement", release_signing.h).
// The tree is built next to the output and switched into place at the end
// (tree_switch.h); on any failure the served tree is left as it was.
// Not thread-safe; one build at a time per output.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "publish/deltas.h"

namespace launcher::publish {

struct BuildOptions {
  std::filesystem::path releases;
  std::filesystem::path privateKey;
  long long pid = 0;
  std::filesystem::path out;
  std::string comment;  // "# <comment>" first line of every list when not empty
  // Publish lists up to at least this distance even beyond the releases
  // kept (those name every file, see History::PlanDistance). 0: as far as
  // the releases reach.
  int maxDistance = 0;
  // Link compressed files of the tree served at `out` that still match
  // instead of compressing again (see reuse.h).
  bool reuse = true;
  // Ed25519 private keys (one, or two while rotating) that sign the release
  // statement; none: no statement and no manifest are written.
  std::vector<std::filesystem::path> releaseKeys;
  std::int64_t statementLifetime = 7 * 86400;  // seconds from signing to expiry
  // Patches from each file's content in this many releases before V (0:
  // no patches, no delta index).
  int deltas = kDefaultDeltaReleases;
};

// Runs the build. Problems and progress go to `err`, the summary to `out`.
// Returns 0 on success, 1 when the input was refused or the build failed.
int BuildServerTree(const BuildOptions& options, std::ostream& out, std::ostream& err);

}  // namespace launcher::publish
