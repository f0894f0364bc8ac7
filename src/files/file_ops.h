// The small file operations of the update work. Failures of moves and copies
// are written to the error log with MSG_MOVE_FAILED / MSG_COPY_FAILED (a
// guarded section, so these throw WorkerCancelled once the window asked to
// close). Worker thread only; every call opens and closes what it uses.
#pragma once

#include <cstdint>
#include <string_view>

namespace launcher {

// Clears the attributes of both files (makes them writable for their owner),
// then renames source to target; fails when the target exists, and never
// replaces it (RenameNoReplace of platform/native_file.h). Between file
// systems the file is copied beside the target, renamed into place and then
// removed at its source (files/replace_file.h). A failure is logged. Returns
// true on success (callers may ignore it).
bool MoveFileLogged(std::u16string_view source, std::u16string_view target);
// Copies the regular file source to target, replacing target unless
// failIfExists. The copy is written to a temporary file in the target's
// directory and renamed over the target when complete, so a failed copy
// leaves the old target untouched and no partial file behind (no sync: see
// files/replace_file.h for what a power cut leaves). The copy gets
// the source's permission bits. A failure is logged. Returns true on success.
bool CopyFileLogged(std::u16string_view source, std::u16string_view target, int failIfExists);
// Makes path writable for its owner, then deletes it. Non-zero when deleted.
int DeleteFileForced(std::u16string_view path);
// Size in bytes (64-bit), or -1 when the file cannot be opened for reading
// or is a directory.
std::int64_t QueryFileSize(std::u16string_view path);
// Makes path writable for its owner (the "clear attributes" of the formats'
// home platform). No error when the file is missing.
void ClearFileAttributes(std::u16string_view path);

// Writes one error-log line: time stamp + the message slot's text filled
// with the two paths (FormatTwoPaths of log.h) + "\r\n". A missing error log
// is created with its byte-order mark first.
void LogFileOperationFailure(int messageSlot, std::u16string_view source,
                             std::u16string_view target);

}  // namespace launcher
