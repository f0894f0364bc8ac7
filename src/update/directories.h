// Directory operations of the update engine, and the checks that keep every
// write of a list entry inside the root it is joined to.
//
// Paths are UTF-16 with "/" (or "\") separators, relative to the working
// directory. Worker thread only; nothing here is guarded or logged: a
// directory that cannot be created or removed shows up as a failure of the
// file operation that follows.
#pragma once

#include <string_view>

namespace launcher {

// Creates every directory on the way to `path`, outermost first: one attempt
// for each prefix that ends just before a separator (a separator in the first
// unit is never looked at). Failures, such as an existing directory, are
// ignored. A path that ends in a separator creates its last directory too.
void CreateParentDirectories(std::u16string_view path);

// Removes the directory holding `path`, then each enclosing directory in
// turn, innermost first, all the way up to the first component. Only empty
// directories disappear; every failure is ignored.
void RemoveEmptyParentDirectories(std::u16string_view path);

// Removes every empty directory inside the directory `root` (a path that may
// end in a separator), innermost first, then `root` itself when that leaves
// it empty. The only files removed are unfinished copies (the temporary
// files of files/replace_file.h, which a killed decompression leaves); a
// symbolic link (or, on Windows, any reparse point) is neither followed nor
// removed, so it keeps its directory. A `root` that is itself a link is left
// alone. For a staging tree whose emptied directories and unfinished copies
// an interrupted run left behind.
void RemoveEmptyDirectoryTree(std::u16string_view root);

// As RemoveEmptyDirectoryTree, but every regular file inside `root` goes
// too: for a staging tree whose copies are of no further use.
void RemoveStagingTree(std::u16string_view root);

// True when joining `relative` (a sanitized decoded path) to `root` cannot
// lead outside `root`: every component of `relative` before the last that
// already exists is a real directory, not a symbolic link. Components that do
// not exist yet are created as real directories by CreateParentDirectories.
// The root itself is the installation's business and is not examined.
bool StaysInsideRoot(std::u16string_view root, std::u16string_view relative);

// CreateParentDirectories for root + relative, only when StaysInsideRoot
// holds. Returns what StaysInsideRoot answered.
bool CreateParentDirectoriesUnder(std::u16string_view root, std::u16string_view relative);

// Deletes the file root + relative when the path stays inside root, without
// following a symbolic link (a link itself is removed, its target is left
// alone). Non-zero when something was deleted.
int DeleteFileUnder(std::u16string_view root, std::u16string_view relative);

// True when `path` names a symbolic link (not followed).
bool IsSymbolicLink(std::u16string_view path);
// True when `path` names a regular file (symbolic links not followed).
bool IsRegularFileNoFollow(std::u16string_view path);

}  // namespace launcher
