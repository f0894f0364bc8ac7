#include "update/file_install.h"

#include <filesystem>
#include <string>
#include <system_error>

#include "files/file_ops.h"
#include "files/log.h"
#include "files/paths.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "seam/cancel.h"
#include "update/directories.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

// Suffix of the temporary copy made beside a target on another file system.
// A copy cut short by a crash is overwritten by the next attempt.
constexpr std::u16string_view kCrossDeviceSuffix = u".~lnew";

bool CopyThenRename(const fs::path& source, const fs::path& target, const fs::path& temporary) {
  std::error_code ec;
  fs::copy_file(source, temporary, fs::copy_options::overwrite_existing, ec);
  if (!ec) fs::rename(temporary, target, ec);
  if (ec) {
    fs::remove(temporary, ec);
    return false;
  }
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
  std::error_code ec;
  fs::rename(from, to, ec);
  if (!ec) return true;
  if (ec != std::errc::cross_device_link) return false;
  return CopyThenRename(from, to,
                        ToPath(std::u16string(target) + std::u16string(kCrossDeviceSuffix)));
}

bool InstallStagedFile(std::u16string_view decodedPath, std::u16string_view stagingRoot) {
  LogTextWithName(Message(MSG_LOG_INSTALLING_FILE), decodedPath);
  const std::u16string target = PatcherDirPath + std::u16string(decodedPath);
  const std::u16string source = std::u16string(stagingRoot) + std::u16string(decodedPath);
  bool installed = false;
  if (StaysInsideRoot(PatcherDirPath, decodedPath) && StaysInsideRoot(stagingRoot, decodedPath)) {
    CreateParentDirectories(target);
    GuardedSection guard;
    installed = ReplaceWithStagedFile(source, target);
  }
  // Logged after the guarded section: the error-log write is a guarded
  // section of its own.
  if (!installed) LogFileOperationFailure(MSG_MOVE_FAILED, source, target);
  RemoveEmptyParentDirectories(source);
  return installed;
}

}  // namespace launcher
