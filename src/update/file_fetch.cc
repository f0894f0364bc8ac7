#include "update/file_fetch.h"

#include "crypto/md5_digest.h"
#include "crypto/sha256_digest.h"
#include "files/file_ops.h"
#include "files/log.h"
#include "files/paths.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "pack/pack.h"
#include "platform/clock.h"
#include "seam/cancel.h"
#include "seam/status_display.h"
#include "update/delta_fetch.h"
#include "update/directories.h"
#include "update/download_digest.h"
#include "update/download_unpack.h"
#include "update/mirror_walk.h"
#include "update/pass_progress.h"
#include "update/state_files.h"
#include "update/transfer_plan.h"
#include "update/update_state.h"

namespace launcher {
namespace {

void ShowFileProgress(int percent) { SetFileProgress(percent); }

// Set at DOWNLOAD_DONE when the transfer created tempfile.dat at its
// announced length in this very call and the body broke off before that
// length: the tail was reserved, never received, so the file cannot be the
// listed one. The digest is then not taken at all, since the announced
// length is the server's word and reading a reserved terabyte would stall
// the update for hours.
bool TransferCutShort = false;
// What the last transfer's end said about its server (mirror_walk.h).
AttemptVerdict LastVerdict;

void HandleProgress(int event, const Transfer& transfer, bool keepResumeRecord) {
  switch (event) {
    case DOWNLOAD_STARTED:
      TotalBytes = transfer.contentLength;
      SetFileProgress(0);
      FileOk = 0;
      break;
    case DOWNLOAD_PROGRESS:
      BytesDone = transfer.offset;
      if (keepResumeRecord) SaveUpdateState(ServerVersion, EntriesDone, BytesDone, TotalBytes);
      SetFileProgress(TransferPercent(BytesDone, TotalBytes));
      break;
    case DOWNLOAD_DONE:
      LastVerdict = JudgeTransfer(transfer);
      SetFileProgress(100);
      DownloadFinished = true;
      TransferCutShort = transfer.state == TRANSFER_HTTP_ERROR && transfer.contentLength > 0 &&
                         transfer.offset < transfer.contentLength;
      break;
    case DOWNLOAD_FAILED:
      LastVerdict = JudgeTransfer(transfer);
      DownloadFinished = false;
      LogText(Message(DownloadErrorSlot(transfer.errorDetail)));
      break;
    default:
      break;
  }
  ShowTransferFigures(event, transfer);
}

// The pause between two attempts: 200 ms steps, each a check point, until
// more than 10 s have passed since `last`. False when it ends 20 s or more
// after `first` (the entry is given up). Tick differences wrap modulo 2^32.
bool PauseBeforeRetry(std::uint32_t first, std::uint32_t& last) {
  Clock& clock = EngineClock();
  std::uint32_t now = 0;
  do {
    clock.Sleep(kRetryPollMs);
    LeaveCancelPoint();
    now = clock.TickCount();
  } while (static_cast<std::uint32_t>(now - last) <= kRetryPauseMs);
  last = now;
  return static_cast<std::uint32_t>(now - first) < kGiveUpAfterMs;
}

// Both sinks of a transfer get every byte of it.
class BodySinks final : public BodySink {
 public:
  BodySinks(BodySink& first, BodySink* second) : first_(first), second_(second) {}
  void Restart() override {
    first_.Restart();
    if (second_ != nullptr) second_->Restart();
  }
  void Append(std::string_view bytes) override {
    first_.Append(bytes);
    if (second_ != nullptr) second_->Append(bytes);
  }

 private:
  BodySink& first_;
  BodySink* second_;
};

// A staged copy may only be written inside its tree, and never through a
// symbolic link, which would write elsewhere.
bool MayStage(const std::u16string& stagingRoot, const std::u16string& decodedPath) {
  return StaysInsideRoot(stagingRoot, decodedPath) && !IsSymbolicLink(stagingRoot + decodedPath);
}

// Checks tempfile.dat against the list digest and brings its decompressed
// copy into the staging tree. Sets FileOk; reports a file that does not
// decompress. The digest and the copy are the ones the transfer made of the
// file as it wrote it, when they cover the whole file; otherwise (bytes the
// transfer never gave, such as a complete file a resumed request found
// nothing more to add to) the file is read. Either way the file bar goes
// from 0 to 100, and the copy takes its listed name only once the digest
// has matched.
//
// A copy staged under temp/ may be installed by a later run, after a power
// cut, so its data are synced before the resume record moves past it. A copy
// under Check/ is only installed by the run that staged it: its sync waits,
// with every other one, until just before the install pass.
// With a release manifest the compressed form must also have the size and
// the SHA-256 the manifest gives: an MD5 collision with the listed digest
// installs nothing.
bool MatchesSignedForm(const ManifestEntry* signedEntry, std::int64_t fileSize,
                       const DownloadDigest& streamed, bool streamedWhole) {
  if (signedEntry == nullptr) return true;
  if (fileSize != signedEntry->compressedSize) return false;
  std::string hex = streamedWhole ? streamed.sha256() : std::string();
  std::uint64_t size = 0;
  if (hex.empty() && !Sha256File(TempFilePath, hex, size)) return false;
  return hex == signedEntry->compressedSha256;
}

void CheckAndStage(const ListedFile& entry, const std::u16string& stagingRoot, bool syncNow,
                   DownloadDigest& streamed, DownloadUnpack* unpacked,
                   const ManifestEntry* signedEntry) {
  char digest[kDigestTextCapacity] = {};
  const std::int64_t fileSize = QueryFileSize(TempFilePath);
  const bool streamedWhole = streamed.Finish(fileSize, digest);
  if (streamedWhole) {
    SetFileProgress(0);
    SetFileProgress(100);
  } else {
    DigestFile(TempFilePath, digest, ShowFileProgress);
  }
  if (entry.listDigest != digest ||
      !MatchesSignedForm(signedEntry, fileSize, streamed, streamedWhole)) {
    FileOk = 0;
    return;
  }
  FileOk = 1;
  const std::u16string staged = stagingRoot + entry.decodedPath;
  bool stagedOk = MayStage(stagingRoot, entry.decodedPath) &&
                  ((unpacked != nullptr && unpacked->Commit(fileSize, syncNow)) ||
                   DecompressFile(TempFilePath, staged, syncNow));
  if (!stagedOk) {
    SetStatusText(Message(MSG_DECOMPRESS_FAILED));
    LogText(Message(MSG_DECOMPRESS_FAILED));
    FileOk = 0;
  }
}

}  // namespace

MessageSlot DownloadErrorSlot(std::int64_t errorDetail) {
  if (errorDetail >= 1 && errorDetail <= 7) {
    return static_cast<MessageSlot>(MSG_DOWNLOAD_ERROR_1 + static_cast<int>(errorDetail) - 1);
  }
  return MSG_DOWNLOAD_ERROR_OTHER;
}

int TransferPercent(std::int64_t done, std::int64_t total) {
  if (total <= 0 || done <= 0) return 0;
  double percent = static_cast<double>(done) * 100.0 / static_cast<double>(total);
  return percent >= 100.0 ? 100 : static_cast<int>(percent);
}

bool FetchListedFile(const ListedFile& entry, FetchVariant variant, int* fetchedMark) {
  const bool fullList = variant == FetchVariant::kFullList;
  const std::u16string& stagingRoot = fullList ? CheckDirPath : TempDirPath;
  const DownloadCallback handler = fullList ? FullListProgress : IncrementalProgress;
  if (SharedDownloader == nullptr) SharedDownloader = std::make_unique<Downloader>();
  // With a release manifest, no download of the entry may pass the size it
  // gives, and a kept partial file longer than that is no start.
  ManifestEntry signedEntry;
  const bool isSigned = SignedEntryFor(entry.decodedPath, signedEntry);
  const std::int64_t sizeCap = isSigned ? signedEntry.compressedSize : -1;
  if (isSigned && BytesDone > sizeCap) BytesDone = 0;
  NoteTransferStarting(entry.decodedPath);
  // With mirrors, a server that fails moves the entry on to the next one;
  // with one server the walk never moves.
  MirrorWalk servers;

  // The staging tree is the launcher's own: whatever an older list left
  // where this entry's copy belongs (a directory of that name, a file where
  // it needs a directory) goes.
  ClearObstaclesUnder(stagingRoot, entry.decodedPath);
  CreateParentDirectories(stagingRoot + entry.decodedPath);
  PatchFetch patch(entry, stagingRoot, !fullList);
  std::uint32_t first = EngineClock().TickCount();
  std::uint32_t last = first;
  bool pauseFirst = false;  // the full-list variant pauses at an attempt's start
  for (;;) {
    if (fullList) {
      LogText(Message(MSG_LOG_FILE_NEEDS_FETCH));
      if (pauseFirst && !PauseBeforeRetry(first, last)) {
        if (!servers.MoveOnAfterTimeLimit(entry.decodedPath)) return false;
        first = last = EngineClock().TickCount();
      }
      SetStatusText(Message(MSG_DOWNLOADING));
      CreateParentDirectories(stagingRoot + entry.decodedPath);
      LogTextWithName(Message(MSG_LOG_DOWNLOADING_FILE), entry.decodedPath);
    } else {
      LogTextWithName(Message(Resuming != 0 ? MSG_LOG_RESUMING_FILE : MSG_LOG_FETCHING_FILE),
                      entry.decodedPath);
    }

    DownloadFinished = false;
    TransferCutShort = false;
    LastVerdict = AttemptVerdict{};
    DownloadDigest streamed(ByteStage::kDefaultInlineBytes, isSigned);
    std::unique_ptr<DownloadUnpack> unpacked;
    if (!patch.active() && MayStage(stagingRoot, entry.decodedPath)) {
      unpacked = std::make_unique<DownloadUnpack>(stagingRoot + entry.decodedPath);
    }
    BodySinks sinks(streamed, unpacked.get());
    patch.BeforeTransfer();
    SharedDownloader->Download(
        patch.active() ? servers.PatcherUrl(patch.place()) : servers.FileUrl(entry.expandedPath),
        TempFilePath, handler, BytesDone, &sinks, patch.active() ? patch.size() : sizeCap);
    if (DownloadFinished) {
      if (TransferCutShort) {
        FileOk = 0;  // fails like a wrong digest: the next attempt starts afresh
      } else if (patch.active()) {
        patch.CheckAndApply(streamed, !fullList);
      } else {
        CheckAndStage(entry, stagingRoot, !fullList, streamed, unpacked.get(),
                      isSigned ? &signedEntry : nullptr);
      }
      BytesDone = 0;  // a complete transfer was checked: the next one starts afresh
      // The server answered; unless it failed as a server, its bytes were
      // wrong.
      if (FileOk == 0 && !LastVerdict.serverFailed) LastVerdict.wrongContent = true;
    } else {
      FileOk = 0;  // DOWNLOAD_FAILED: resume from the last progress offset
    }
    if (fetchedMark != nullptr) *fetchedMark = 1;
    if (FileOk == 1) {
      servers.Served(entry.decodedPath);
      return true;
    }
    if (patch.TakeFallback()) {
      // The whole file is a fresh start of the entry, with its own time.
      first = last = EngineClock().TickCount();
      pauseFirst = false;
      continue;
    }
    if (servers.MoveOnAfter(LastVerdict, entry.decodedPath)) {
      first = last = EngineClock().TickCount();
      pauseFirst = false;
      continue;
    }
    pauseFirst = true;

    if (!fullList) {
      SetStatusText(Message(MSG_DOWNLOADING));
      LogText(Message(MSG_LOG_FILE_NEEDS_FETCH));
      if (!PauseBeforeRetry(first, last)) {
        if (!servers.MoveOnAfterTimeLimit(entry.decodedPath)) return false;
        first = last = EngineClock().TickCount();
      }
    }
  }
}

int FullListProgress(int event, const Transfer& transfer) {
  HandleProgress(event, transfer, false);
  return 0;
}

int IncrementalProgress(int event, const Transfer& transfer) {
  HandleProgress(event, transfer, true);
  return 0;
}

}  // namespace launcher
