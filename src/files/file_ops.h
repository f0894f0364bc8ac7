// The small file operations of the update work. Failures of moves and copies
// are written to the error log with MSG_MOVE_FAILED / MSG_COPY_FAILED.
#pragma once

#include <cstdint>
#include <string_view>

namespace launcher {

// Clears the attributes of both files (makes them writable for their owner),
// then renames source to target; fails when the target exists. A failure is
// logged. Returns true on success (callers may ignore it).
bool MoveFileLogged(std::u16string_view source, std::u16string_view target);
// Copies source to target, replacing target unless failIfExists. A failure is
// logged. Returns true on success.
bool CopyFileLogged(std::u16string_view source, std::u16string_view target, int failIfExists);
// Makes path writable for its owner, then deletes it. Non-zero when deleted.
int DeleteFileForced(std::u16string_view path);
// Size in bytes, or -1 when the file cannot be opened.
std::int64_t QueryFileSize(std::u16string_view path);
// Makes path writable for its owner (the "clear attributes" of the formats'
// home platform). No error when the file is missing.
void ClearFileAttributes(std::u16string_view path);

// Writes one error-log line: time stamp + format filled with the two paths.
void LogFileOperationFailure(int messageSlot, std::u16string_view source,
                             std::u16string_view target);

}  // namespace launcher
