// Shared pieces of the fuzz targets: a private scratch directory per fuzzing
// process (with the installation layout the engine's relative paths expect),
// file helpers, and a check that turns a broken invariant into a crash
// libFuzzer records. Single-threaded, like libFuzzer's calls into a target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace launcher::fuzz {

// Root of this process's scratch tree, laid out as an installation:
// <root>/launcher, <root>/patcher, <root>/patcher/server, <root>/config/patcher.
// Removed when the process exits normally.
const std::filesystem::path& ScratchRoot();

// Makes <root>/launcher the working directory, as the engine's relative
// working-file names expect, for the lifetime of the object. libFuzzer itself
// keeps relative corpus and artifact paths, so the directory is changed only
// around the engine calls of one input.
class InLauncherDir {
 public:
  InLauncherDir();
  ~InLauncherDir();
  InLauncherDir(const InLauncherDir&) = delete;
  InLauncherDir& operator=(const InLauncherDir&) = delete;

 private:
  int previous_ = -1;
};

// Writes `bytes` to `path` (replacing it) and returns the path in the engine's
// UTF-16 form.
std::u16string WriteScratchFile(const std::filesystem::path& path, std::string_view bytes);

// The fuzz input as a string view.
inline std::string_view AsText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Splits the input at the first occurrence of kPartSeparator: inputs that feed
// two files (settings and server list) carry both in one buffer. Without the
// separator the whole input is the first part.
inline constexpr std::string_view kPartSeparator = "--8<--";
void SplitParts(std::string_view input, std::string_view& first, std::string_view& second);

// Reinterprets bytes as UTF-16 units (little-endian pairs, an odd last byte
// dropped), for functions that take UTF-16 text.
std::u16string Utf16Units(std::string_view bytes);

// An independent statement of what a sanitised list path must be: relative,
// "/" separators only, no "..", no empty component, "." only as the first
// component, no control character, at most `maxUnits` long, not "." alone.
bool IsSafeRelativePath(std::u16string_view path, std::size_t maxUnits);

[[noreturn]] void Fail(const char* condition, const char* file, int line);

}  // namespace launcher::fuzz

#define FUZZ_CHECK(cond) \
  ((cond) ? static_cast<void>(0) : ::launcher::fuzz::Fail(#cond, __FILE__, __LINE__))
