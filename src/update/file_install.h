// Installing a staged file into the patcher directory.
//
// Worker thread only. The replacement is one guarded section, so a close of
// the window never cuts it in half; it is also atomic on disk: the installed
// file keeps its old content until the new content takes its place in one
// step, so a crash or a failure never leaves the path without a file.
#pragma once

#include <string_view>

namespace launcher {

// Moves stagingRoot + decodedPath over PatcherDirPath + decodedPath, creating
// the target's directories first and removing the staging directories it
// empties. A failure (including a path that would lead through a symbolic
// link) is written to the error log with MSG_MOVE_FAILED and both paths, and
// leaves the installed file as it was. True when the new file is in place.
bool InstallStagedFile(std::u16string_view decodedPath, std::u16string_view stagingRoot);

// Syncs the data of a staged copy whose sync was deferred, before the rename
// that installs it. False when it cannot be synced (it must not be
// installed then).
bool SyncStagedFile(std::u16string_view decodedPath, std::u16string_view stagingRoot);

// Syncs every directory that InstallStagedFile put a file into since the
// last call, so that the installs are on the disk before "version.sw" says
// they happened. False when one could not be synced.
bool SyncInstalledDirectories();

// Replaces `target` with the regular file `source` in one step. Where the two
// lie on different file systems the source is copied into a temporary file
// beside the target, which is then renamed over it. Not guarded, not logged.
bool ReplaceWithStagedFile(std::u16string_view source, std::u16string_view target);

}  // namespace launcher
