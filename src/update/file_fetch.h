// The per-file machinery shared by the incremental update and the update
// from the full list: is the installed copy current, fetch an entry's
// compressed form into "tempfile.dat" with retries and resume, check it
// against the list digest and decompress it into a staging tree, and the two
// download progress handlers.
//
// Worker thread only. Uses the shared update state (update_state.h); the
// downloader calls the progress handlers on the worker thread before
// Download returns. Cancel check points inside may end the worker by
// throwing WorkerCancelled; every file is then left as a later run expects.
#pragma once

#include <cstdint>
#include <string_view>

#include "files/string_table.h"
#include "net/downloader.h"
#include "update/list_entry.h"

namespace launcher {

// Retry timing, on the engine clock.
inline constexpr std::uint32_t kRetryPollMs = 200;      // step of the pause between attempts
inline constexpr std::uint32_t kRetryPauseMs = 10000;   // a pause lasts longer than this
inline constexpr std::uint32_t kGiveUpAfterMs = 20000;  // since the entry's first attempt

enum class FetchVariant {
  kFullList,     // stages under "Check/", FullListProgress, logs each attempt's download
  kIncremental,  // stages under "temp/", IncrementalProgress, resume record kept current
};

// True when the installed file PatcherDirPath + decodedPath exists and the
// digest of its compressed form equals `listDigest` byte for byte. The
// compression is one guarded section; the file bar goes from 0 to 100 with
// the bytes read. A symbolic link or a path through one is never current.
bool IsInstalledFileCurrent(std::u16string_view decodedPath, std::string_view listDigest);

// True when the staged copy stagingRoot + decodedPath exists and holds the
// content `listDigest` names: the digest of its compressed form, taken as
// for an installed file, equals it. For a copy this run did not stage
// itself, which may belong to another list.
bool IsStagedCopyCurrent(std::u16string_view stagingRoot, std::u16string_view decodedPath,
                         std::string_view listDigest);

// Brings the entry's decompressed file into the variant's staging tree.
// Starts from BytesDone (the caller sets it, and Resuming for the incremental
// variant). An entry gets a second attempt about 10 s after its first began;
// true with FileOk = 1 once staged, false when the pause that follows a
// failure ends 20 s or more after the first attempt began (the caller then
// fails its whole update). `fetchedMark`, when given, is set to 1 after every
// attempt (the full-list update's per-entry mark).
bool FetchListedFile(const ListedFile& entry, FetchVariant variant, int* fetchedMark = nullptr);

// Download callbacks. Both return 0. IncrementalProgress also rewrites the
// resume record at every progress event.
int FullListProgress(int event, const Transfer& transfer);
int IncrementalProgress(int event, const Transfer& transfer);

// The file-bar percentage for `done` of `total` bytes (0 when total is
// unknown, never above 100).
int TransferPercent(std::int64_t done, std::int64_t total);

// The log message for a transfer that failed with `errorDetail` (a
// PATCH::Error_code): MSG_DOWNLOAD_ERROR_1..7, or MSG_DOWNLOAD_ERROR_OTHER.
MessageSlot DownloadErrorSlot(std::int64_t errorDetail);

}  // namespace launcher
