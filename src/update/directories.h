// Directory operations of the update engine, and the checks that keep every
// write of a list entry inside the root it is joined to.
//
// Paths are UTF-16 with "/" (or "\") separators, relative to the working
// directory. Worker thread only; nothing here is guarded or logged: a
// directory that cannot be created or removed shows up as a failure of the
// file operation that follows.
#pragma once

#include <string>
#include <string_view>
#include <vector>

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

// Removes the directory `root` (a path that may end in a separator) with
// everything in it, without following a symbolic link: a link inside is
// removed itself, and a `root` that is a link is left alone. For a staging
// tree whose content no later pass can use.
void RemoveDirectoryTree(std::u16string_view root);

// A staging root is the launcher's own name: a symbolic link planted there
// is removed (never followed), so that the directory created next is a real
// one and nothing is staged wherever the link points.
void RemoveLinkAtRoot(std::u16string_view root);

// Removes every file inside the directory `root` but the files named in
// `keep` (paths as root + relative path, the way the caller builds them),
// without following a symbolic link, and then every directory that is left
// empty, `root` included. For a staging tree after a pass: what it did not
// install or keep for the next run is a leftover.
void RemoveFilesUnderExcept(std::u16string_view root, const std::vector<std::u16string>& keep);

// Makes room for a file at root + relative: a regular file that stands where
// the path needs a directory is removed, and so is a real directory (with
// everything in it) that stands where the path names the file. A symbolic
// link is neither removed nor followed, so a path through one stays refused
// (StaysInsideRoot), and nothing is done unless `root` itself is a real
// directory. The caller makes sure that nothing it still needs lies
// there: for ../patcher/, a list whose final state names a file never names
// anything under it (ValidateListEntries).
void ClearObstaclesUnder(std::u16string_view root, std::u16string_view relative);

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
