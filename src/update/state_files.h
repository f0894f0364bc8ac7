// The small 8-bit text files that hold numbers: the version and product-id
// files fetched from the server ("newver.sw", "pid.sw"), the installed
// version "version.sw", and the resume record "ustate.sw".
//
// Reading follows the text-mode rules of text_file.h. Files are never
// truncated and then written: a write goes to a temporary file that is
// renamed over the target, or (the resume record, rewritten at every progress
// event) overwrites a longer record in place. A crash leaves either the old or
// the new content, never an empty record. Worker thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace launcher {

// Reads the first decimal integer of the file (leading white space skipped,
// optional sign). Returns false, leaving `value` unchanged, when the file
// cannot be opened or holds no integer. Values outside the 32-bit range are
// clamped to it.
bool ReadNumberFile(std::u16string_view path, int& value);
// The same, with 0 for a missing file or a file without a number.
int ReadNumberFileOrZero(std::u16string_view path);

// Writes `value` in decimal followed by CR LF ("version.sw", "Listver.sw").
bool WriteNumberFile(std::u16string_view path, std::int64_t value);
// Writes ServerVersion into "version.sw".
bool WriteVersionFile();

// The resume record of the incremental update: one line of four decimal
// numbers separated by single spaces, ended by CR CR LF.
struct UpdateStateRecord {
  int stateVersion = 0;         // server version the kept list belongs to
  int entriesDone = 0;          // entries whose fetch pass is complete
  std::int64_t bytesDone = 0;   // resume offset into tempfile.dat
  std::int64_t totalBytes = 0;  // announced length of that transfer, 0 if none
};

// The record's exact bytes.
std::string FormatUpdateState(const UpdateStateRecord& record);
// Parses the four numbers in order, white space skipped; a number that cannot
// be read (and every one after it) counts as 0.
UpdateStateRecord ParseUpdateState(std::string_view text);

// Reads "ustate.sw" into `record`. False when the file cannot be opened
// (`record` is then all zeros).
bool ReadUpdateState(std::u16string_view path, UpdateStateRecord& record);
// Replaces the record at `path`. Not guarded; see SaveUpdateState.
bool WriteUpdateState(std::u16string_view path, const UpdateStateRecord& record);
// Rewrites "ustate.sw" as one guarded section (cancel check points around
// it), so a close of the window never leaves a record that does not match
// tempfile.dat and the staging tree. A record shorter than the file is
// written over it in place, padded with blanks before its line end (readers
// skip white space); a longer one replaces the file through a rename. Either
// way a crash leaves a whole record, old or new.
void SaveUpdateState(int version, int entriesDone, std::int64_t bytesDone, std::int64_t totalBytes);

}  // namespace launcher
