// Reuse of the compressed files of the tree being replaced: a file of the
// new version whose compressed form the served tree already holds is linked
// into the new tree instead of being compressed again.
//
// A served file is reused only when the served full list verifies under the
// publisher's key, the served file has the digest that list gives, and it
// decompresses to exactly the bytes of the new file (checked in one
// streaming pass, which costs a fraction of compressing). So a served tree
// that was edited, damaged or built from other releases is never trusted.
// Not thread-safe.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>

#include "crypto/signature_verifier.h"

namespace launcher::publish {

class ServedTreeReuse {
 public:
  // Reads "patcher/files.md5" of the tree at `served` when it exists and
  // verifies; otherwise nothing is reused.
  ServedTreeReuse(const std::filesystem::path& served, const SignatureVerifier& verifier);

  // When the served tree holds the compressed form of `source` for the
  // relative path `relPath`, links (or copies) it to `target`, sets `digest`
  // and returns true.
  bool TryReuse(const std::string& relPath, const std::filesystem::path& source,
                const std::filesystem::path& target, std::string& digest);

  std::size_t reused() const { return reused_; }

 private:
  struct Served {
    std::string digest;
    std::filesystem::path file;
  };
  std::map<std::string, Served> files_;  // relative path -> served compressed file
  std::size_t reused_ = 0;
};

}  // namespace launcher::publish
