#include "platform/ini_file.h"

#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>

namespace launcher {
namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// The file as 8-bit text. A UTF-16LE file is narrowed: the names and digits
// that matter here are ASCII, and any other unit becomes '?'.
std::optional<std::string> ReadIniText(const std::filesystem::path& path) {
  // stdio rather than a stream: reading a directory or a failing disk must
  // give the default, not an exception.
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  std::string bytes;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
  bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return std::nullopt;
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
    std::string narrowed;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      unsigned unit = static_cast<unsigned char>(bytes[i]) |
                      (static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8);
      narrowed.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return narrowed;
  }
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  return bytes;
}

std::optional<std::string> FindValue(std::string_view text, std::string_view section,
                                     std::string_view key) {
  bool inSection = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (!line.empty() && line.front() == '[') {
      std::size_t close = line.find(']');
      std::string_view name = line.substr(1, close == std::string_view::npos ? close : close - 1);
      inSection = EqualsIgnoringAsciiCase(Trim(name), section);
      continue;
    }
    if (!inSection) continue;
    std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    if (EqualsIgnoringAsciiCase(Trim(line.substr(0, equals)), key)) {
      return std::string(Trim(line.substr(equals + 1)));
    }
  }
  return std::nullopt;
}

int LeadingInt(std::string_view value) {
  std::size_t i = 0;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
    negative = value[i] == '-';
    ++i;
  }
  std::int64_t magnitude = 0;
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<int>::max()} + 1;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (value[i] - '0');
    if (magnitude > kLimit) magnitude = kLimit;
  }
  std::int64_t result = negative ? -magnitude : magnitude;
  if (result > std::numeric_limits<int>::max()) result = std::numeric_limits<int>::max();
  return static_cast<int>(result);
}

}  // namespace

int ReadIniInt(const std::filesystem::path& path, std::string_view section, std::string_view key,
               int defaultValue) {
  std::optional<std::string> text = ReadIniText(path);
  if (!text) return defaultValue;
  std::optional<std::string> value = FindValue(*text, section, key);
  if (!value) return defaultValue;
  std::string_view digits = *value;
  if (digits.size() >= 2 && (digits.front() == '"' || digits.front() == '\'') &&
      digits.back() == digits.front()) {
    digits = digits.substr(1, digits.size() - 2);
  }
  if (digits.empty()) return defaultValue;
  return LeadingInt(digits);
}

}  // namespace launcher
