// Tells whether two snapshot files hold the same bytes, reading each stored
// file at most once: the SHA-256 of a file's raw content is kept per identity
// (device, inode, size, modification time), so files hard-linked between
// snapshots are read once, and files of different sizes are never read.
//
// Not thread-safe. Reading failures are kept and reported by the caller.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>

#include "publish/snapshot.h"

namespace launcher::publish {

using RawDigestBytes = std::array<std::uint8_t, 32>;

class ContentIndex {
 public:
  // True when both files hold the same bytes. A file that cannot be read
  // counts as different and its error is recorded.
  bool SameContent(const SnapshotFile& a, const SnapshotFile& b);

  // The SHA-256 of the raw content, or nullopt when it cannot be read.
  std::optional<RawDigestBytes> RawDigest(const SnapshotFile& file);

  // Errors met while reading, one per file, naming it.
  const std::map<std::string, std::string>& errors() const { return errors_; }
  std::uint64_t bytesRead() const { return bytesRead_; }

 private:
  using Identity = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::int64_t>;
  std::map<Identity, RawDigestBytes> digests_;
  std::map<std::string, std::string> errors_;
  std::uint64_t bytesRead_ = 0;
};

}  // namespace launcher::publish
