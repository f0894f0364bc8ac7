// Patches between two contents of a file: one standard zstd frame that
// decompresses to the newer content (the result) when the older content
// (the base) is given to the decoder as its reference prefix. The stock tool
// applies one too: `zstd -d --long=31 --patch-from=BASE PATCH -o RESULT`.
// docs/formats.md fixes the frame's parameters.
//
// Both sides keep the contents out of the heap: the base and the result are
// mapped files (platform/mapped_file.h), so memory is the zstd state plus
// fixed buffers, whatever the file sizes; the mapped pages belong to the
// page cache. (A result of at most 1 MiB is decoded into a buffer and
// written at once, as a small file is cheaper written than mapped.)
//
// Threading: every function may be called from any thread; nothing is
// shared between calls. None passes a cancel check point itself, but
// ApplyPatchFile's progress callback may throw (a worker's check point): the
// call then unwinds, leaving no temporary file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace launcher {

// The largest window a patch may ask for: 2 GiB, zstd's limit on 64-bit
// systems.
inline constexpr int kMaxPatchWindowLog = 31;
// A base or a result of this size or more gets no patch.
inline constexpr std::uint64_t kMaxPatchFileSize = std::uint64_t{1} << kMaxPatchWindowLog;
// The compression level of patches.
inline constexpr int kPatchLevel = 3;

// The window of the patch from a base of `baseSize` bytes to a result of
// `resultSize` bytes: the smallest power of two covering both together, at
// most 2^kMaxPatchWindowLog. With the largest window the distance from any
// byte of the result back to the same offset of the base (the base's size
// plus the bytes moved) is still covered as long as the base is smaller
// than the window. 0 when a patch cannot be made (a file too large).
int PatchWindowLog(std::uint64_t baseSize, std::uint64_t resultSize);

struct MadePatch {
  std::uint64_t size = 0;
  std::string md5;  // text form of the MD5 of the patch file
};

// Writes the patch that turns the file `base` into the file `result` as a
// new file at `patchPath` (which must not exist). False when a file cannot
// be read, is too large for a patch, or the patch cannot be written; no
// file is left then.
bool MakePatchFile(const std::filesystem::path& base, const std::filesystem::path& result,
                   const std::filesystem::path& patchPath, MadePatch& made);

// What a patch must produce: the result's size and the text form of its
// SHA-256.
struct PatchResult {
  std::uint64_t size = 0;
  std::string sha256;
};

enum class PatchOutcome {
  kApplied,         // the target holds the result
  kBaseUnreadable,  // the base cannot be opened or mapped
  kTooLarge,        // base, result or the frame's window beyond the limits
  kBadPatch,        // not one whole frame of the declared result size
  kWrongResult,     // decoded, but not the result asked for (a wrong base)
  kWriteFailed,     // the target cannot be created or written (a full disk)
};

// Short English words for the log of an outcome ("applied", ...).
std::u16string_view PatchOutcomeText(PatchOutcome outcome);

// Applies the patch in the file `patch` to the file `base` and writes the
// result at `target` through a temporary file beside it (files/
// replace_file.h names it), renamed over the target only when the frame
// decoded whole, nothing followed it, and the result has the expected size
// and SHA-256. Its data are synced before the rename unless `syncNow` is
// false (the caller then syncs the target before relying on it). The patch
// is read in bounded pieces; base and result are mapped. `progress`
// receives the share of the result written so far, in percent, at most
// once per 8192 bytes, and 100 at the end.
PatchOutcome ApplyPatchFile(const std::filesystem::path& base, const std::filesystem::path& patch,
                            const std::filesystem::path& target, const PatchResult& expected,
                            bool syncNow, const std::function<void(int percent)>& progress = {});

}  // namespace launcher
