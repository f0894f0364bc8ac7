// The release statement and the manifest in "verify-tree": the statement
// verifies under the given release keys, names this product and the served
// version, has not expired, and gives the right size and SHA-256 for every
// file it names; every served list is named by it; the manifest names
// exactly the files of the full list, each with the size and SHA-256 of its
// served compressed form and, decompressed, of its installed form.
//
// Not thread-safe; reads the tree and a scratch directory.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace launcher::publish {

struct ReleaseCheckInput {
  std::filesystem::path root;
  std::vector<std::filesystem::path> publicKeys;  // release public keys; may be empty
  // Every file of the full list: decoded relative path -> served path below
  // patcher/patcher/.
  std::map<std::string, std::string> listed;
  std::vector<std::string> lists;  // served list names under patcher/
  std::filesystem::path scratch;   // an empty directory for decompressing
};

// Reports each problem and note through the callbacks; returns the number
// of files checked against the manifest.
int VerifyReleaseFiles(const ReleaseCheckInput& input,
                       const std::function<void(const std::string&)>& problem,
                       const std::function<void(const std::string&)>& note);

}  // namespace launcher::publish
