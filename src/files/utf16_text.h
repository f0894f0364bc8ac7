// UTF-16LE text files for people: the logs, "stringtab.txt", "update.cfg"
// and "updateserver.txt". Read and written as raw 16-bit units, without
// newline translation. Every function opens and closes its file itself; a
// reader holds its file from construction to destruction. Not shared between
// threads.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace launcher {

// Reads a UTF-16LE file line by line. The first 16-bit unit of the file is
// skipped unread (it is expected to be the byte-order mark U+FEFF). A line is
// handed out in pieces of at most kMaxPieceUnits units: reading stops after an
// LF unit (which stays in the piece) or when the piece is full.
class Utf16LineReader {
 public:
  static constexpr std::size_t kMaxPieceUnits = 399;

  explicit Utf16LineReader(std::u16string_view path);
  ~Utf16LineReader();
  Utf16LineReader(const Utf16LineReader&) = delete;
  Utf16LineReader& operator=(const Utf16LineReader&) = delete;

  bool is_open() const { return file_ != nullptr; }
  // Next piece, line end included; false when no further unit can be read.
  bool ReadLine(std::u16string& line);

 private:
  // One little-endian unit; false at the end (an odd last byte is dropped).
  bool ReadUnit(char16_t& unit);

  std::FILE* file_ = nullptr;
};

// Removes trailing CR and LF units, any number in any order, but never the
// first unit of the line.
void TrimLineEnd(std::u16string& line);

// Creates (truncating) a UTF-16LE file holding only U+FEFF. Returns false when
// it cannot be created.
bool CreateUtf16File(std::u16string_view path);
// Creates a UTF-16LE file holding only U+FEFF unless the file already exists;
// an existing file is left untouched. True when the file now exists.
bool CreateUtf16FileIfMissing(std::u16string_view path);
// Appends text as raw UTF-16LE units with one write, opening and closing the
// file. Returns false when the file cannot be opened or the write fails.
bool AppendUtf16(std::u16string_view path, std::u16string_view text);

}  // namespace launcher
