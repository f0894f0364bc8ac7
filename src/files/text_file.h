// 8-bit text files: what the server sends (version, product id, lists) and
// the state files that hold numbers. Read with the text-mode rules of the
// platform the formats come from: CR LF is read as LF, a lone CR stays, and
// a byte 0x1A ends the text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace launcher {

class TextModeReader {
 public:
  explicit TextModeReader(std::u16string_view path);
  ~TextModeReader();
  TextModeReader(const TextModeReader&) = delete;
  TextModeReader& operator=(const TextModeReader&) = delete;

  bool is_open() const { return file_ != nullptr; }
  // Next character after translation, or EOF.
  int Get();
  // Reads up to maxBytes - 1 bytes, stopping after an LF (kept), like fgets
  // with a buffer of maxBytes. False at the end of the text, and for a
  // maxBytes below 2 (which could never make progress).
  bool ReadLine(std::string& line, std::size_t maxBytes);
  // Back to the start of the file.
  void Rewind();
  // The file position of the next unread raw byte (for handing the rest of
  // the file to another reader).
  std::FILE* file() const { return file_; }

 private:
  std::FILE* file_ = nullptr;
  bool ended_ = false;
};

// Reads the first decimal integer of a text file as scanf("%d") would
// (leading white space skipped, optional sign, digits), with the text-mode
// rules above. Numbers beyond the 64-bit range are held at its bounds.
// Returns false when the file cannot be opened or holds no integer; `value`
// is then unchanged.
bool ReadFirstInteger(std::u16string_view path, std::int64_t& value);
// Parses the leading integer of `text` the same way (for strtol-like input).
bool ParseLeadingInteger(std::string_view text, std::int64_t& value);

}  // namespace launcher
