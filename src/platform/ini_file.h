// Integer values of INI files (the launcher reads "../patcher/server/pid.ini"
// this way), with the rules of the Windows profile functions the file format
// comes from. Opens, reads and closes the file in one call; safe on any
// thread.
#pragma once

#include <filesystem>
#include <string_view>

namespace launcher {

// The integer of key `key` in section `[section]` of the file at `path`.
//
// - Section and key names are compared without regard to ASCII letter case;
//   white space around names and values is ignored. The first matching key
//   of the first section that has it is used.
// - A value in one pair of matching quotes ('...' or "...") is taken without
//   them.
// - The value is read as an optional sign followed by decimal digits; reading
//   stops at the first other character ("12abc" gives 12). Values beyond the
//   32-bit range are held at its bounds.
// - `defaultValue` is returned when the file cannot be read, or the section
//   or key is missing, or the value is empty.
// - A non-empty value without leading digits ("abc") gives 0, not the
//   default: the Windows function behaves this way too, and the file is the
//   same file the patcher reads with it.
//
// The file is 8-bit text; a UTF-8 byte-order mark is skipped and a file with
// the UTF-16LE byte-order mark is read as UTF-16.
//
// On Windows the system's own GetPrivateProfileIntA reads the file, the
// function the patcher uses. Under Wine it differs from the rules above in
// two corners: a section name given twice is searched only where it first
// appears, and a value beyond the 32-bit range wraps.
int ReadIniInt(const std::filesystem::path& path, std::string_view section, std::string_view key,
               int defaultValue);

}  // namespace launcher
