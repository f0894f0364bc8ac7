// Putting a freshly built server tree in place of the served one without
// rewriting any served file in place. One implementation per platform
// (tree_switch_posix.cc, tree_switch_win32.cc), chosen by CMake.
//
// The new tree is built in a sibling directory (see MakeBuildDirectory),
// made durable (PrepareTreeForServing) and then switched in. What the served
// path may be, and what a reader of the tree or a crash can see:
// - missing: the new tree is renamed to it;
// - POSIX, a directory: the two directories are exchanged in one atomic
//   rename (renameat2 RENAME_EXCHANGE) and the old tree is removed; where the
//   file system cannot exchange, the old tree is renamed aside and the new
//   one renamed in (a moment without a tree), and the old one removed;
// - POSIX, a symbolic link: a new link to the new tree replaces it
//   atomically, and the old target is removed when it is an earlier build of
//   this tool;
// - Windows, a directory: the old tree is renamed aside and the new one
//   renamed in, each rename written through, after a journal
//   "<out>.switch" naming both has been written. A reader sees the old tree,
//   for a moment none, then the new one, never a mix. A crash between the
//   two renames leaves no tree at `out`; the next run of the tool
//   (RecoverTreeSwitch) then finishes the switch from the journal. A link
//   (reparse point) at `out` is refused.
// Not thread-safe; one publisher per served path at a time.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace launcher::publish {

// Creates a new directory named `prefix` followed by six random characters
// (mode 0700 on POSIX) and returns its name; nullopt when it cannot.
std::optional<std::filesystem::path> MakeUniqueDirectory(const std::string& prefix);

// Creates "<out>.new-XXXXXX" next to `out` with mode 0755.
std::optional<std::filesystem::path> MakeBuildDirectory(const std::filesystem::path& out,
                                                        std::string& problem);

// Makes the built tree at `root` ready to be served: readable by the web
// server's user whatever the umask (POSIX: 0755/0644) and on the disk
// (POSIX: syncfs of its file system; Windows: FlushFileBuffers of every
// file, the directory entries then follow with the written-through rename
// of the switch). False, with `problem` set, when it cannot be synced.
bool PrepareTreeForServing(const std::filesystem::path& root, std::string& problem);

// Finishes a switch of `out` that a crash interrupted (Windows: from the
// journal, see above; POSIX has nothing to finish). Called before anything
// reads the served tree. `note` tells what was done, if anything. False,
// with `problem` set, when the journal cannot be acted on.
bool RecoverTreeSwitch(const std::filesystem::path& out, std::string& problem, std::string& note);

// Switches `built` into place at `out` as above. On failure the served tree
// is unchanged (or put back) and `built` is left for the caller to remove.
bool SwitchTree(const std::filesystem::path& built, const std::filesystem::path& out,
                std::string& problem, std::string& how);

}  // namespace launcher::publish
