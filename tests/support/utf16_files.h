// Small helpers for the tests of the UTF-16 files: building and reading the
// raw little-endian bytes of a file.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "files/utf16.h"
#include "support/temp_dir.h"

namespace launcher::testing {

inline std::string Utf16LeBytes(std::u16string_view text) {
  std::string bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

// Writes `text` as UTF-16LE, after a byte-order mark unless withBom is false.
inline void WriteUtf16File(const std::filesystem::path& path, std::u16string_view text,
                           bool withBom = true) {
  WriteFileBytes(path, (withBom ? std::string("\xFF\xFE") : std::string()) + Utf16LeBytes(text));
}

// Every unit of the file, the byte-order mark included.
inline std::u16string ReadUtf16Units(const std::filesystem::path& path) {
  std::string bytes = ReadFileBytes(path);
  std::u16string units;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  return units;
}

}  // namespace launcher::testing
