// Putting a freshly built server tree in place of the served one without
// rewriting any served file in place.
//
// The new tree is built in a sibling directory (see MakeBuildDirectory).
// Then, depending on what the served path is:
// - missing: the new tree is renamed to it;
// - a directory: the two directories are exchanged in one atomic rename
//   (renameat2 RENAME_EXCHANGE) and the old tree is removed; where the file
//   system cannot exchange, the old tree is renamed aside and the new one
//   renamed in (a moment without a tree), and the old one removed;
// - a symbolic link: a new link to the new tree replaces it atomically, and
//   the old target is removed when it is an earlier build of this tool.
// Not thread-safe; one publisher per served path at a time.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace launcher::publish {

// Creates "<out>.new-XXXXXX" next to `out` with mode 0755.
std::optional<std::filesystem::path> MakeBuildDirectory(const std::filesystem::path& out,
                                                        std::string& problem);

// Switches `built` into place at `out` as above. On failure the served tree
// is unchanged (or put back) and `built` is left for the caller to remove.
bool SwitchTree(const std::filesystem::path& built, const std::filesystem::path& out,
                std::string& problem, std::string& how);

}  // namespace launcher::publish
