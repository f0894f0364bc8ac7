#include "files/text_file.h"

#include <cstdio>
#include <limits>

#include "files/utf16.h"
#include "platform/native_file.h"

namespace launcher {
namespace {

constexpr int kEndOfText = 0x1A;

bool IsScanfSpace(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(int c) { return c >= '0' && c <= '9'; }

// Reads an optional sign and decimal digits from `next` (a character source
// returning EOF at the end), with the first character already in `c`. Values
// beyond the 64-bit range saturate instead of wrapping.
template <typename Next>
bool ParseSignedDigits(int c, Next&& next, std::int64_t& value) {
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    c = next();
  }
  if (!IsDigit(c)) return false;
  // Accumulate as a negative number, which has the larger range.
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  std::int64_t accumulated = 0;
  bool saturated = false;
  for (; IsDigit(c); c = next()) {
    int digit = c - '0';
    if (accumulated < (kMin + digit) / 10) {
      saturated = true;
    } else if (!saturated) {
      accumulated = accumulated * 10 - digit;
    }
  }
  if (saturated) {
    value = negative ? kMin : std::numeric_limits<std::int64_t>::max();
  } else if (negative) {
    value = accumulated;
  } else {
    value = accumulated == kMin ? std::numeric_limits<std::int64_t>::max() : -accumulated;
  }
  return true;
}

}  // namespace

TextModeReader::TextModeReader(std::u16string_view path)
    : file_(OpenStdioFile(ToPath(path), "rb")) {}

TextModeReader::~TextModeReader() {
  if (file_ != nullptr) std::fclose(file_);
}

int TextModeReader::Get() {
  if (file_ == nullptr || ended_) return EOF;
  int c = std::getc(file_);
  if (c == kEndOfText) {
    ended_ = true;
    return EOF;
  }
  if (c == '\r') {
    int following = std::getc(file_);
    if (following == '\n') return '\n';
    // A lone CR stays; what follows it is read next (0x1A included).
    if (following != EOF) std::ungetc(following, file_);
  }
  return c;
}

bool TextModeReader::ReadLine(std::string& line, std::size_t maxBytes) {
  line.clear();
  // fgets with room for fewer than two bytes reads nothing; refusing it
  // keeps a caller's read loop from spinning.
  if (maxBytes < 2) return false;
  while (line.size() < maxBytes - 1) {
    int c = Get();
    if (c == EOF) break;
    line.push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  return !line.empty();
}

void TextModeReader::Rewind() {
  if (file_ == nullptr) return;
  std::rewind(file_);
  ended_ = false;
}

bool ReadFirstInteger(std::u16string_view path, std::int64_t& value) {
  TextModeReader reader(path);
  if (!reader.is_open()) return false;
  int c = reader.Get();
  while (IsScanfSpace(c)) c = reader.Get();
  return ParseSignedDigits(
      c, [&reader] { return reader.Get(); }, value);
}

bool ParseLeadingInteger(std::string_view text, std::int64_t& value) {
  std::size_t i = 0;
  auto next = [&]() -> int {
    return i < text.size() ? static_cast<unsigned char>(text[i++]) : EOF;
  };
  int c = next();
  while (IsScanfSpace(c)) c = next();
  return ParseSignedDigits(c, next, value);
}

}  // namespace launcher
