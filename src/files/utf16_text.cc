#include "files/utf16_text.h"

#include <cerrno>

#include "files/utf16.h"
#include "platform/native_file.h"

namespace launcher {
namespace {

std::FILE* OpenFile(std::u16string_view path, const char* mode) {
  return OpenStdioFile(ToPath(path), mode);
}

// Little-endian bytes of `text`, independent of the host's byte order.
std::string ToLittleEndianBytes(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

bool WriteAllAndClose(std::FILE* file, const std::string& bytes) {
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  // fclose flushes; a failed flush means the text did not reach the file.
  if (std::fclose(file) != 0) ok = false;
  return ok;
}

}  // namespace

Utf16LineReader::Utf16LineReader(std::u16string_view path) : file_(OpenFile(path, "rb")) {
  if (file_ == nullptr) return;
  // The first unit is the byte-order mark; it is skipped without looking at
  // it, so a file saved without one loses its first character.
  char16_t ignored = 0;
  ReadUnit(ignored);
}

Utf16LineReader::~Utf16LineReader() {
  if (file_ != nullptr) std::fclose(file_);
}

bool Utf16LineReader::ReadUnit(char16_t& unit) {
  int low = std::fgetc(file_);
  if (low == EOF) return false;
  int high = std::fgetc(file_);
  if (high == EOF) return false;  // an odd trailing byte is not a unit
  unit = static_cast<char16_t>(static_cast<unsigned>(low) | (static_cast<unsigned>(high) << 8));
  return true;
}

bool Utf16LineReader::ReadLine(std::u16string& line) {
  line.clear();
  if (file_ == nullptr) return false;
  char16_t unit = 0;
  while (line.size() < kMaxPieceUnits && ReadUnit(unit)) {
    line.push_back(unit);
    if (unit == u'\n') break;
  }
  return !line.empty();
}

void TrimLineEnd(std::u16string& line) {
  while (line.size() > 1 && (line.back() == u'\r' || line.back() == u'\n')) line.pop_back();
}

bool CreateUtf16File(std::u16string_view path) {
  std::FILE* file = OpenFile(path, "wb");
  if (file == nullptr) return false;
  return WriteAllAndClose(file, ToLittleEndianBytes(u"\uFEFF"));
}

bool CreateUtf16FileIfMissing(std::u16string_view path) {
  // "x": exclusive creation, so an existing file is never truncated.
  std::FILE* file = OpenFile(path, "wbx");
  if (file == nullptr) return errno == EEXIST;
  return WriteAllAndClose(file, ToLittleEndianBytes(u"\uFEFF"));
}

bool AppendUtf16(std::u16string_view path, std::u16string_view text) {
  std::FILE* file = OpenFile(path, "ab");
  if (file == nullptr) return false;
  // One write of the whole text, so a line reaches the file in one piece.
  return WriteAllAndClose(file, ToLittleEndianBytes(text));
}

}  // namespace launcher
