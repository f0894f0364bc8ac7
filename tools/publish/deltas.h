// The patches of a build: for every file of the newest version V that
// differs from its content in one of the last K releases, a patch from that
// older content to V's (pack/patch.h), written to "patcher/delta/" of the
// build, and the signed delta index "patcher/delta.idx" that names them
// (update/delta_index.h, docs/formats.md). A build that keeps no patch
// writes neither.
//
// A patch is kept only when it saves enough against the compressed file
// (kept when its size is at most three quarters of the compressed form's and
// at least 1 KiB smaller): for files that changed wholesale the whole file
// is as good. Identical (base, result) pairs under several paths share one
// patch file. Files of 2 GiB or more get no patch.
//
// Not thread-safe; the snapshots and the content index must outlive it.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "crypto/signature_verifier.h"
#include "publish/content_index.h"
#include "publish/progress.h"
#include "publish/snapshot.h"

namespace launcher::publish {

// Releases before the newest that patches start from, unless --deltas says.
inline constexpr int kDefaultDeltaReleases = 3;

class DeltaBuilder {
 public:
  DeltaBuilder(const std::map<int, Snapshot>& snapshots, int newest, ContentIndex& index,
               Progress& progress);

  // Makes the patches against the last `releases` versions before the
  // newest into `build` (the tree being built, whose compressed files are
  // in place), for the files whose list digests `listDigests` gives (path
  // -> digest), and writes the index signed with `privatePem` (checked with
  // `verifier`, the key's public half). False with `problem` set on a
  // failure that must stop the build.
  bool Build(int releases, const std::filesystem::path& build,
             const std::map<std::string, std::string>& listDigests, const std::string& privatePem,
             const std::string& comment, const SignatureVerifier& verifier, std::string& problem);

  // One line for the build's summary: patches, their bytes and the time.
  std::string Summary() const;

 private:
  // The list digest of an older file's content, computed once per content.
  bool BaseDigest(const SnapshotFile& file, std::string& digest);

  const std::map<int, Snapshot>& snapshots_;
  int newest_;
  ContentIndex& index_;
  Progress& progress_;
  std::map<RawDigestBytes, std::string> baseDigests_;
  std::size_t patches_ = 0;
  std::size_t files_ = 0;
  std::size_t skipped_ = 0;
  std::uint64_t patchBytes_ = 0;
  std::uint64_t wholeBytes_ = 0;  // compressed forms of the patched files
  std::chrono::duration<double> seconds_{0};
};

}  // namespace launcher::publish
