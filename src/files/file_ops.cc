#include "files/file_ops.h"

#include <string>

#include "files/replace_file.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "platform/native_file.h"

namespace launcher {
namespace {

std::filesystem::path Native(std::u16string_view path) { return ToPath(path); }

// A move between file systems: copy beside the target, put the copy in
// place without replacing anything, then remove the source.
bool MoveAcrossFileSystems(const std::filesystem::path& source,
                           const std::filesystem::path& target) {
  FileReplacement copy(target, 0600);
  if (!copy.is_open() || !copy.file().CopyFrom(source) ||
      !copy.Commit(Durability::kAtomic, Overwrite::kRefuse)) {
    return false;
  }
  if (!RemoveNativeFile(source)) {
    // Both copies exist now; undo, so that a failed move changes nothing.
    RemoveNativeFile(target);
    return false;
  }
  return true;
}

}  // namespace

void ClearFileAttributes(std::u16string_view path) { ClearFileAttributesNative(Native(path)); }

bool MoveFileLogged(std::u16string_view source, std::u16string_view target) {
  ClearFileAttributes(source);
  ClearFileAttributes(target);
  const std::filesystem::path from = Native(source);
  const std::filesystem::path to = Native(target);
  bool crossDevice = false;
  bool moved =
      RenameNoReplace(from, to, &crossDevice) || (crossDevice && MoveAcrossFileSystems(from, to));
  if (!moved) LogFileOperationFailure(MSG_MOVE_FAILED, source, target);
  return moved;
}

bool CopyFileLogged(std::u16string_view source, std::u16string_view target, int failIfExists) {
  ClearFileAttributes(target);
  const std::filesystem::path from = Native(source);
  const std::filesystem::path to = Native(target);
  // The copy is written under a temporary name and renamed over the target
  // only when complete, so a failed copy never leaves a half-written target
  // and the old target survives it. No sync: these are log generations.
  FileReplacement copy(to, 0600);
  bool copied = copy.is_open() && copy.file().CopyFrom(from) &&
                copy.Commit(Durability::kAtomic,
                            failIfExists != 0 ? Overwrite::kRefuse : Overwrite::kReplace);
  if (!copied) LogFileOperationFailure(MSG_COPY_FAILED, source, target);
  return copied;
}

int DeleteFileForced(std::u16string_view path) {
  ClearFileAttributes(path);
  return RemoveNativeFile(Native(path)) ? 1 : 0;
}

std::int64_t QueryFileSize(std::u16string_view path) { return NativeFileSize(Native(path)); }

}  // namespace launcher
