// The part of "verify-tree" that checks the patches of a served tree: the
// delta index "patcher/delta.idx" (signature under the given key, format),
// every patch file it names (present, of the size and MD5 the index gives),
// that every result is the full list's file at that path, and, when the
// releases the tree was built from are given, that every patch applied to
// its base (found among the releases by its list digest) gives exactly the
// served file's content.
//
// Not thread-safe; reports through the callbacks as it goes.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "crypto/signature_verifier.h"

namespace launcher::publish {

struct DeltaCheck {
  std::filesystem::path root;                     // the served tree
  std::optional<std::filesystem::path> releases;  // one directory per version
  std::filesystem::path scratch;                  // an empty directory for results
  // The full list: served path of each file (below patcher/patcher/) ->
  // its list digest.
  std::map<std::string, std::string> listed;
  std::function<void(const std::string&)> problem;
  std::function<void(const std::string&)> note;
};

// Runs the checks when the tree has an index. Returns the number of patches
// applied; adds every patch file it checked to `checked` (paths below
// patcher/).
int CheckDeltaIndex(const DeltaCheck& check, const SignatureVerifier& verifier,
                    std::set<std::string>& checked);

}  // namespace launcher::publish
