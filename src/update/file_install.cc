#include "update/file_install.h"

#include <filesystem>
#include <set>
#include <string>
#include <system_error>

#include "files/file_ops.h"
#include "files/log.h"
#include "files/paths.h"
#include "files/replace_file.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "platform/native_file.h"
#include "seam/cancel.h"
#include "update/directories.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

// Directories that received an installed file and are not synced yet.
// Worker thread only.
std::set<fs::path> g_unsyncedDirectories;

// The copy is synced before it takes the installed file's place, as a
// decompressed staged file is before it is renamed into place, and its name
// is made durable at once (this path is rare: a staging tree on another
// file system).
bool CopyThenRename(const fs::path& source, const fs::path& target) {
  FileReplacement copy(target);
  if (!copy.is_open() || !copy.file().CopyFrom(source) || !copy.Commit(Durability::kDurable)) {
    return false;
  }
  std::error_code ec;
  fs::remove(source, ec);
  return true;
}

}  // namespace

bool ReplaceWithStagedFile(std::u16string_view source, std::u16string_view target) {
  if (!IsRegularFileNoFollow(source)) return false;
  // Make the new file writable for its owner, as a move that clears the
  // attributes of both files does. The old file's mode does not matter: a
  // rename replaces it regardless.
  ClearFileAttributes(source);
  const fs::path from = ToPath(source);
  const fs::path to = ToPath(target);
  bool crossDevice = false;
  // Written through on Windows, where no directory can be synced: the
  // install is on the disk before the call returns, so before version.sw
  // can name the release. POSIX syncs each directory once for all files
  // (SyncInstalledDirectories).
  if (RenameReplacing(from, to, true, &crossDevice)) return true;
  return crossDevice && CopyThenRename(from, to);
}

bool InstallStagedFile(std::u16string_view decodedPath, std::u16string_view stagingRoot) {
  LogTextWithName(Message(MSG_LOG_INSTALLING_FILE), decodedPath);
  const std::u16string target = PatcherDirPath + std::u16string(decodedPath);
  const std::u16string source = std::u16string(stagingRoot) + std::u16string(decodedPath);
  bool installed = false;
  // A directory where the release has this file, or a file where it needs
  // a directory (the release changed one into the other), would block the
  // rename for ever.
  ClearObstaclesUnder(PatcherDirPath, decodedPath);
  if (StaysInsideRoot(PatcherDirPath, decodedPath) && StaysInsideRoot(stagingRoot, decodedPath)) {
    CreateParentDirectories(target);
    GuardedSection guard;
    installed = ReplaceWithStagedFile(source, target);
  }
  if (installed) g_unsyncedDirectories.insert(ToPath(target).parent_path());
  // Logged after the guarded section: the error-log write is a guarded
  // section of its own.
  if (!installed) LogFileOperationFailure(MSG_MOVE_FAILED, source, target);
  RemoveEmptyParentDirectories(source);
  return installed;
}

bool SyncStagedFile(std::u16string_view decodedPath, std::u16string_view stagingRoot) {
  const std::u16string staged = std::u16string(stagingRoot) + std::u16string(decodedPath);
  return StaysInsideRoot(stagingRoot, decodedPath) && IsRegularFileNoFollow(staged) &&
         SyncFileData(ToPath(staged));
}

bool SyncInstalledDirectories() {
  bool synced = true;
  for (const fs::path& directory : g_unsyncedDirectories) {
    if (!SyncDirectory(directory)) synced = false;
  }
  g_unsyncedDirectories.clear();
  return synced;
}

}  // namespace launcher
