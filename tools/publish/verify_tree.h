// The "verify-tree" command: checks a server tree the way the launcher will
// read it, and more strictly.
//
// For "patcher/files.md5" and every "patcher/v-<n>.inc": the signature under
// the given public key; every entry line (length, two tokens, digest token
// form); every path token (expands and decodes, passes SanitizeDecodedPath,
// stays inside the root, within the length limits); that the served
// compressed file exists, has the listed digest and decompresses; that
// incremental lists agree with the full list. Also "info/pid" and
// "patcher/version" must hold a number, and the delta index and its patches
// must be sound. With release public keys, the release statement and the
// manifest too (verify_release.h).
// Not thread-safe: uses the engine's CurrentListDir while reading a list
// (saved and restored).
#pragma once

#include <filesystem>
#include <ostream>
#include <vector>

namespace launcher::publish {

// Prints one line per problem and a summary to `out`. Returns 0 when the
// tree is sound, 1 otherwise. With `releases` (the directory the tree was
// built from) every patch of the delta index is applied to its base and
// compared with the served file (verify_deltas.h).
int VerifyServerTree(const std::filesystem::path& root, const std::filesystem::path& publicKey,
                     std::ostream& out, const std::vector<std::filesystem::path>& releaseKeys = {},
                     const std::filesystem::path& releases = {});

}  // namespace launcher::publish
