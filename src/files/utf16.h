// Conversions between the program's UTF-16 texts and the operating system's
// UTF-8 names. Texts stay std::u16string inside the program; they become
// UTF-8 only at the operating-system boundary.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace launcher {

// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);
// UTF-8 to UTF-16. Returns false (and leaves `out` unspecified) on invalid
// UTF-8: overlong forms, surrogates, code points above U+10FFFF, truncation.
bool FromUtf8(std::string_view text, std::u16string& out);
// UTF-8 to UTF-16 with every invalid sequence replaced by U+FFFD.
std::u16string FromUtf8Lossy(std::string_view text);
// ASCII/Latin-1 bytes widened one to one (used for URLs and encoded paths).
std::u16string Widen(std::string_view bytes);

// The file-system path for a UTF-16 name.
std::filesystem::path ToPath(std::u16string_view name);

}  // namespace launcher
