// Patches in the per-file fetch. For an entry whose installed copy is not
// current, the delta index may offer a patch from that copy's content (as
// the installed-file check found it, installed_check.h) to the listed
// content; the fetch then downloads the patch instead of the whole file,
// through the same downloader, progress handler and resume offset, checks
// the patch's digest, applies it into the staging tree under the staged
// copy's temporary name and names the result only once its SHA-256 and size
// are the index's. Any failure falls back to the whole file with a log line.
//
// The index ("patcher/delta.idx", update/delta_index.h) is fetched on the
// first entry of an update path that needs a fetch and has an installed
// copy (even when the entry resumes a whole file), verified with the
// compiled-in key, read into memory and its file removed; a missing or
// refused index leaves the update path without patches.
//
// What "tempfile.dat" holds: while the incremental update fetches a patch,
// "tempfile.sw" names it (server version, entry number, result digest,
// base digest, patch digest; docs/formats.md). The resume record keeps its
// meaning: the entries done and the bytes of tempfile.dat. A run that
// resumes a transfer resumes the patch only when tempfile.sw names the
// entry being resumed and the patch still fits; without such a record the
// bytes are the whole file's, as ever. The record is written before a patch
// transfer starts at byte 0; on a fallback the resume offset 0 is saved
// before the record goes, so a kill at any moment leaves a pair that tells
// the truth.
//
// Worker thread only; cancel check points inside (the status and progress
// calls) may end the worker by throwing WorkerCancelled.
#pragma once

#include <string>

#include "update/delta_index.h"
#include "update/download_digest.h"
#include "update/list_entry.h"

namespace launcher {

// The start of an update path: the index of an earlier one is forgotten,
// and a record of what tempfile.dat holds goes when no transfer is left to
// resume (no resume record).
void BeginDeltaPatches();

// What the index of the running update path says of patches for `entry`
// (any base), without fetching it: kUnknown until a fetch has loaded it,
// kNoIndex when there is none to use. For the transfers started ahead of
// the fetches (fetch_ahead.h), which leave an entry with a patch on offer
// to its fetch.
enum class PatchOffer { kUnknown, kNoIndex, kNone, kOffered };
PatchOffer PatchOfferFor(const ListedFile& entry);

// The choice for one entry's fetch, made when the fetch starts.
class PatchFetch {
 public:
  // `stagingRoot`: where the entry's copy is staged. `keepsResumeRecord`:
  // the incremental update, whose transfers resume across runs. May set
  // BytesDone and Resuming to 0 (a kept patch that no longer fits is not
  // resumed).
  PatchFetch(const ListedFile& entry, const std::u16string& stagingRoot, bool keepsResumeRecord);

  // True while the next attempt fetches the patch.
  bool active() const { return patch_ != nullptr; }
  // Where the patch lies below a server's "patcher/" (delta index).
  std::string place() const;
  // The patch's size from the signed index: no transfer of it goes past.
  std::int64_t size() const;
  // Before each transfer of the patch: records that tempfile.dat holds it
  // (a transfer from byte 0 of the incremental update).
  void BeforeTransfer();
  // After a complete transfer of the patch: checks it and applies it into
  // the staging tree; FileOk = 1 when the copy is staged. Otherwise logs
  // why, and the fetch goes on with the whole file.
  void CheckAndApply(DownloadDigest& streamed, bool syncNow);
  // True once after a fallback: the whole file is to be fetched next, at
  // once, as a fresh start of the entry.
  bool TakeFallback();

 private:
  bool CouldBeABase() const;
  const DeltaPatch* Choose(const std::string& requiredMd5);
  void FallBack(int messageSlot);

  const ListedFile& entry_;
  const std::u16string& stagingRoot_;
  bool keepsResumeRecord_;
  const DeltaPatch* patch_ = nullptr;
  bool fellBack_ = false;
};

}  // namespace launcher
