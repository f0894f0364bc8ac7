#include "update/state_files.h"

#include <climits>
#include <string>

#include "files/paths.h"
#include "files/replace_file.h"
#include "files/text_file.h"
#include "files/utf16.h"
#include "platform/native_file.h"
#include "seam/cancel.h"
#include "update/update_state.h"

namespace launcher {
namespace {

int ClampToInt(std::int64_t value) {
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// One scanf-style "%d" conversion at `pos`; advances `pos` past it. Digits
// beyond the 64-bit range saturate instead of overflowing.
bool ScanInteger(std::string_view text, std::size_t& pos, std::int64_t& value) {
  std::size_t i = pos;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::size_t digitsStart = i;
  std::int64_t magnitude = 0;
  constexpr std::int64_t kLimit = INT64_MAX / 10 - 1;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    if (magnitude < kLimit) magnitude = magnitude * 10 + (text[i] - '0');
    ++i;
  }
  if (i == digitsStart) return false;
  value = negative ? -magnitude : magnitude;
  pos = i;
  return true;
}

std::string ReadWholeText(TextModeReader& reader) {
  std::string text;
  for (int c = reader.Get(); c != EOF; c = reader.Get()) text.push_back(static_cast<char>(c));
  return text;
}

// Overwrites the record at `path` in place when it is at least as long as
// `record`, padding with blanks before the line end so the length stays. One
// pwrite of a few bytes at offset 0, with no truncation, so a process that
// dies at any moment leaves the old record or the new one, whole.
bool OverwriteRecordInPlace(std::u16string_view path, std::string record) {
  return OverwriteFileStart(ToPath(path), [&](std::uint64_t size, std::string& bytes) {
    if (size < record.size() || size > 4096) return false;
    const std::size_t length = static_cast<std::size_t>(size);
    record.insert(record.size() - 3, length - record.size(), ' ');
    bytes = std::move(record);
    return true;
  });
}

}  // namespace

bool ReadNumberFile(std::u16string_view path, int& value) {
  std::int64_t wide = 0;
  if (!ReadFirstInteger(path, wide)) return false;
  value = ClampToInt(wide);
  return true;
}

int ReadNumberFileOrZero(std::u16string_view path) {
  int value = 0;
  ReadNumberFile(path, value);
  return value;
}

bool WriteNumberFile(std::u16string_view path, std::int64_t value) {
  // Written a few times a run, and "version.sw" is what the next run trusts
  // about the installed tree: worth the syncs to outlast a power cut.
  return ReplaceFileContents(ToPath(path), std::to_string(value) + "\r\n", Durability::kDurable);
}

bool WriteVersionFile() { return WriteNumberFile(VersionFilePath, ServerVersion); }

std::string FormatUpdateState(const UpdateStateRecord& record) {
  // The home platform wrote "%d %d %d %d\r\n" in text mode, which put an
  // extra CR before the line end; readers skip white space either way.
  return std::to_string(record.stateVersion) + ' ' + std::to_string(record.entriesDone) + ' ' +
         std::to_string(record.bytesDone) + ' ' + std::to_string(record.totalBytes) + "\r\r\n";
}

UpdateStateRecord ParseUpdateState(std::string_view text) {
  UpdateStateRecord record;
  std::int64_t fields[4] = {0, 0, 0, 0};
  std::size_t pos = 0;
  for (std::int64_t& field : fields) {
    if (!ScanInteger(text, pos, field)) break;
  }
  record.stateVersion = ClampToInt(fields[0]);
  record.entriesDone = ClampToInt(fields[1]);
  record.bytesDone = fields[2];
  record.totalBytes = fields[3];
  return record;
}

bool ReadUpdateState(std::u16string_view path, UpdateStateRecord& record) {
  record = UpdateStateRecord{};
  TextModeReader reader(path);
  if (!reader.is_open()) return false;
  record = ParseUpdateState(ReadWholeText(reader));
  return true;
}

bool WriteUpdateState(std::u16string_view path, const UpdateStateRecord& record) {
  // Rewritten as a transfer goes on; a record lost to a power cut costs a
  // fetch again, not a wrong install, so no sync.
  return ReplaceFileContents(ToPath(path), FormatUpdateState(record), Durability::kAtomic);
}

void SaveUpdateState(int version, int entriesDone, std::int64_t bytesDone,
                     std::int64_t totalBytes) {
  const UpdateStateRecord record{version, entriesDone, bytesDone, totalBytes};
  GuardedSection guard;
  // The record is rewritten at every progress event. Replacing the file by a
  // rename costs milliseconds each on a journalling file system; an in-place
  // overwrite of the same length is as safe against a crash and costs
  // microseconds. The file is only replaced when the record outgrows it.
  if (OverwriteRecordInPlace(UpdateStateFilePath, FormatUpdateState(record))) return;
  WriteUpdateState(UpdateStateFilePath, record);
}

}  // namespace launcher
