// ReleaseHistory: the releases of one generated sequence, as a player's
// installation may meet them. Each new release comes from the one before
// by chance (a seeded generator): files added, changed (a few bytes, so the
// publisher patches them, or wholesale), deleted, put back
// to a content they had before, a file that becomes a directory and back,
// an empty file, a file over 1 MiB, a deep path. Every release holds at
// least one file. Versions count from 1; every release is kept here, also
// those the publisher was made to forget.
// Not thread-safe; a plain value.
#pragma once

#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/release_server.h"

namespace launcher::testing {

// A number below `n` drawn from `rng`.
inline unsigned Pick(std::mt19937& rng, std::size_t n) { return static_cast<unsigned>(rng() % n); }

class ReleaseHistory {
 public:
  // Makes the next release and returns its version.
  int Add(std::mt19937& rng);
  int newest() const { return static_cast<int>(releases_.size()); }
  const Release& At(int version) const {
    return releases_.at(static_cast<std::size_t>(version - 1));
  }

  // Whether `path` held `content` in some release.
  bool HadContent(const std::string& path, const std::string& content) const;
  // The paths whose state changed in any release after `version` (every
  // path of every release when `version` is below 1): those an update from
  // `version` names.
  std::vector<std::string> ChangedSince(int version) const;
  // A content for a copy of `path` that an older list staged: one the path
  // had in a release before the newest, or else the content of another
  // file.
  std::string OlderContent(const std::string& path, std::mt19937& rng) const;

 private:
  std::vector<Release> releases_;
};

}  // namespace launcher::testing
