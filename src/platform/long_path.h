// Windows file names for the system's UTF-16 calls: absolute, with
// backslashes, and with the "\\?\" prefix that lifts the 260-unit limit
// (a network path "\\server\share\..." becomes "\\?\UNC\server\share\...").
// The prefix also turns off the system's own name clean-up, so "." and ".."
// are resolved here, by the names alone, as the system would. Used only by
// the *_win32.cc files.
//
// Threading: a pure function of its argument and the working directory.
#pragma once

#ifdef _WIN32

#include <filesystem>
#include <functional>
#include <string>

namespace launcher {

std::wstring LongPath(const std::filesystem::path& path);

// Runs `operation` (a move, delete or replace that returns false with the
// system's last error set) again while it fails with a sharing or lock
// violation, for up to kSharingRetryMs: another process, most often a virus
// scanner, briefly holds a file we have just written. Any other failure, or
// the time running out, returns false with the last error kept.
inline constexpr unsigned kSharingRetryMs = 5000;
bool RetryWhileShared(const std::function<bool()>& operation);

}  // namespace launcher

#endif
