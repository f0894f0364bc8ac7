#include "update/delta_fetch.h"

#include <optional>
#include <sstream>
#include <vector>

#include "crypto/md5_digest.h"
#include "crypto/signature_verifier.h"
#include "files/file_ops.h"
#include "files/log.h"
#include "files/paths.h"
#include "files/regular_file.h"
#include "files/replace_file.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "pack/patch.h"
#include "seam/status_display.h"
#include "update/directories.h"
#include "update/installed_check.h"
#include "update/release_trust.h"
#include "update/state_files.h"
#include "update/transfer_plan.h"
#include "update/update_state.h"

namespace launcher {
namespace {

constexpr std::uint64_t kBytesBeforeFirstProgress = 8192;

// The index of the running update path, loaded on first use.
struct LoadedIndex {
  bool tried = false;
  std::u16string url;  // where it was fetched from
  int serverVersion = 0;
  std::optional<DeltaLookup> lookup;
};

LoadedIndex& Index() {
  static LoadedIndex index;
  return index;
}

bool ReadSmallFile(std::u16string_view path, std::uint64_t limit, std::string& bytes) {
  RegularFile file(path);
  if (!file.is_open() || file.size() > limit) return false;
  bytes.resize(static_cast<std::size_t>(file.size()));
  return file.ReadFull(bytes.data(), bytes.size()) == static_cast<std::int64_t>(bytes.size());
}

// Fetches, verifies and reads the index; logs once when there is none to
// use. The file goes as soon as it has been read: the next update path
// fetches the index of its own version.
const DeltaLookup* LoadIndex() {
  LoadedIndex& loaded = Index();
  const std::u16string url = PatchUrl + Widen(kDeltaIndexName);
  if (loaded.tried && loaded.url == url && loaded.serverVersion == ServerVersion) {
    return loaded.lookup ? &*loaded.lookup : nullptr;
  }
  // Marked tried only once read: transfers fetched ahead ask PatchOfferFor
  // while the index is on its way.
  loaded = LoadedIndex{};
  if (AcceptedStatement() != nullptr) {
    // Only as the statement names it: capped at its signed size, kept only
    // with its signed SHA-256.
    FetchReleaseFile(std::string("patcher/") + std::string(kDeltaIndexName), DeltaIndexFilePath);
  } else {
    DeleteFileForced(DeltaIndexFilePath);
    if (SharedDownloader == nullptr) SharedDownloader = std::make_unique<Downloader>();
    SharedDownloader->Download(url, DeltaIndexFilePath, DownloadCallback{}, 0);
  }
  loaded = LoadedIndex{.tried = true, .url = url, .serverVersion = ServerVersion, .lookup = {}};
  if (QueryFileSize(DeltaIndexFilePath) < 0) {
    LogText(Message(MSG_LOG_NO_PATCH_INDEX));
    return nullptr;
  }
  std::string raw;
  std::optional<std::string> content;
  if (ReadSmallFile(DeltaIndexFilePath, kMaxDeltaIndexBytes, raw) &&
      CompiledInVerifier().VerifySignedFile(DeltaIndexFilePath)) {
    content = SignedContent(raw);
  }
  DeleteFileForced(DeltaIndexFilePath);
  std::string problem;
  std::optional<DeltaIndex> index = content ? ParseDeltaIndex(*content, problem) : std::nullopt;
  if (!index) {
    LogText(Message(MSG_LOG_PATCH_INDEX_REFUSED));
    return nullptr;
  }
  loaded.lookup.emplace(std::move(*index));
  return &*loaded.lookup;
}

// "tempfile.sw": which patch tempfile.dat holds, for which entry.
struct TempFileKind {
  int stateVersion = 0;
  int entry = -1;
  std::string resultDigest;
  std::string baseDigest;
  std::string patchMd5;
};

std::optional<TempFileKind> ReadTempFileKind() {
  std::string text;
  if (!ReadSmallFile(TempFileKindPath, 4096, text)) return std::nullopt;
  std::istringstream in(text);
  TempFileKind kind;
  if (!(in >> kind.stateVersion >> kind.entry >> kind.resultDigest >> kind.baseDigest >>
        kind.patchMd5)) {
    return std::nullopt;
  }
  return kind;
}

// Written whole through a rename: a killed run leaves the old record or the
// new one. Not synced: after a power cut a record may be lost or come back
// stale, and the bytes it describes wrongly then fail their digest and are
// fetched again, as a power cut can make any download's bytes fail.
bool WriteTempFileKind(const TempFileKind& kind) {
  const std::string text = std::to_string(kind.stateVersion) + ' ' + std::to_string(kind.entry) +
                           ' ' + kind.resultDigest + ' ' + kind.baseDigest + ' ' + kind.patchMd5 +
                           "\r\n";
  return ReplaceFileContents(ToPath(TempFileKindPath), text, Durability::kAtomic);
}

bool MayStage(const std::u16string& stagingRoot, const std::u16string& decodedPath) {
  return StaysInsideRoot(stagingRoot, decodedPath) && !IsSymbolicLink(stagingRoot + decodedPath);
}

}  // namespace

void BeginDeltaPatches() {
  Index() = LoadedIndex{};
  if (QueryFileSize(UpdateStateFilePath) < 0) DeleteFileForced(TempFileKindPath);
}

// A file that is not installed (or could not be read) has no content a
// patch could start from: it is fetched whole, as a new file is, and the
// index is not even asked. One that was read has its list digest, or, with
// a release manifest, a signed entry (its SHA-256 is read when needed).
bool PatchFetch::CouldBeABase() const {
  const InstalledDigest& installed = LastInstalledDigest();
  if (installed.decodedPath != entry_.decodedPath) return false;
  ManifestEntry signedEntry;
  return !installed.digest.empty() || SignedEntryFor(entry_.decodedPath, signedEntry);
}

PatchOffer PatchOfferFor(const ListedFile& entry) {
  const LoadedIndex& loaded = Index();
  if (!loaded.tried || loaded.url != PatchUrl + Widen(kDeltaIndexName) ||
      loaded.serverVersion != ServerVersion) {
    return PatchOffer::kUnknown;
  }
  if (!loaded.lookup) return PatchOffer::kNoIndex;
  return loaded.lookup->ForResult(entry.expandedPath, entry.listDigest).empty()
             ? PatchOffer::kNone
             : PatchOffer::kOffered;
}

PatchFetch::PatchFetch(const ListedFile& entry, const std::u16string& stagingRoot,
                       bool keepsResumeRecord)
    : entry_(entry), stagingRoot_(stagingRoot), keepsResumeRecord_(keepsResumeRecord) {
  if (BytesDone > 0 && keepsResumeRecord_) {
    const std::optional<TempFileKind> kind = ReadTempFileKind();
    if (!kind || kind->stateVersion != ServerVersion || kind->entry != EntriesDone ||
        kind->resultDigest != entry_.listDigest) {
      // tempfile.dat holds the first bytes of the whole file. The index is
      // loaded all the same, as a fresh fetch of the entry would load it:
      // until then, later entries with an outdated copy cannot be fetched
      // ahead (fetch_ahead.h), and would wait for this whole file.
      if (MayStage(stagingRoot_, entry_.decodedPath) && CouldBeABase()) LoadIndex();
      return;
    }
    patch_ = Choose(kind->patchMd5);
    if (patch_ != nullptr) return;
    // The patch in tempfile.dat no longer fits (another index, a changed
    // installed file): the entry starts afresh, with the whole file.
    FallBack(-1);
    fellBack_ = false;
    return;
  }
  if (BytesDone > 0) return;  // resuming within a run: the caller knows what it fetches
  patch_ = Choose({});
  // A record naming this entry would claim the whole file's bytes for a
  // patch should this run be killed.
  if (patch_ == nullptr && keepsResumeRecord_) DeleteFileForced(TempFileKindPath);
}

const DeltaPatch* PatchFetch::Choose(const std::string& requiredMd5) {
  if (!MayStage(stagingRoot_, entry_.decodedPath)) {
    return nullptr;  // the whole-file fetch refuses the entry itself
  }
  if (!CouldBeABase()) return nullptr;
  // What the check learnt of the installed file: its list digest, or, with
  // a release manifest, its SHA-256 (which a file of another size than the
  // signed one was not read for: it is read here, once).
  const InstalledDigest& installed = LastInstalledDigest();
  const std::string& base = installed.digest;
  std::string baseSha256 = installed.sha256;
  const DeltaLookup* lookup = LoadIndex();
  if (lookup == nullptr) return nullptr;
  const std::vector<const DeltaPatch*> offered =
      lookup->ForResult(entry_.expandedPath, entry_.listDigest);
  if (offered.empty()) {
    LogTextWithName(Message(MSG_LOG_WHOLE_NO_PATCH), entry_.decodedPath);
    return nullptr;
  }
  if (base.empty() && baseSha256.empty() && !InstalledSha256(entry_.decodedPath, baseSha256)) {
    return nullptr;  // not installed, or unreadable: fetched whole
  }
  const DeltaPatch* chosen = nullptr;
  for (const DeltaPatch* patch : offered) {
    const bool isBase = base.empty() ? patch->baseSha256 == baseSha256 : patch->baseDigest == base;
    if (isBase && (requiredMd5.empty() || patch->patchMd5 == requiredMd5)) {
      chosen = patch;
      break;
    }
  }
  if (chosen == nullptr) {
    LogTextWithName(Message(MSG_LOG_WHOLE_NOT_A_BASE), entry_.decodedPath);
    return nullptr;
  }
  const std::int64_t baseSize = QueryFileSize(PatcherDirPath + entry_.decodedPath);
  if (chosen->resultSize >= kMaxPatchFileSize || baseSize < 0 ||
      static_cast<std::uint64_t>(baseSize) >= kMaxPatchFileSize) {
    LogTextWithName(Message(MSG_LOG_WHOLE_TOO_LARGE), entry_.decodedPath);
    return nullptr;
  }
  return chosen;
}

std::int64_t PatchFetch::size() const {
  return patch_ != nullptr ? static_cast<std::int64_t>(patch_->patchSize) : -1;
}

std::string PatchFetch::place() const { return patch_ != nullptr ? patch_->place : std::string(); }

void PatchFetch::BeforeTransfer() {
  if (patch_ == nullptr || !keepsResumeRecord_ || BytesDone > 0) return;
  // A transfer of at most this many bytes gets no DOWNLOAD_PROGRESS event
  // (one comes after more than 8192 bytes), so the resume record never
  // gives it an offset to resume from: there is nothing to describe.
  if (patch_->patchSize <= kBytesBeforeFirstProgress) {
    DeleteFileForced(TempFileKindPath);
    return;
  }
  // Should the record not be written, a later run takes the bytes for the
  // whole file's; their digest then fails and the entry starts again.
  WriteTempFileKind({.stateVersion = ServerVersion,
                     .entry = EntriesDone,
                     .resultDigest = entry_.listDigest,
                     .baseDigest = patch_->baseDigest,
                     .patchMd5 = patch_->patchMd5});
}

void PatchFetch::CheckAndApply(DownloadDigest& streamed, bool syncNow) {
  char digest[kDigestTextCapacity] = {};
  const std::int64_t size = QueryFileSize(TempFilePath);
  if (streamed.Finish(size, digest)) {
    SetFileProgress(0);
    SetFileProgress(100);
  } else {
    DigestFile(TempFilePath, digest, [](int percent) { SetFileProgress(percent); });
  }
  if (size < 0 || static_cast<std::uint64_t>(size) != patch_->patchSize ||
      patch_->patchMd5 != digest) {
    return FallBack(MSG_LOG_WHOLE_PATCH_DIGEST);
  }
  if (!MayStage(stagingRoot_, entry_.decodedPath)) return FallBack(MSG_LOG_WHOLE_PATCH_FAILED);
  const PatchOutcome outcome = ApplyPatchFile(
      ToPath(PatcherDirPath + entry_.decodedPath), ToPath(TempFilePath),
      ToPath(stagingRoot_ + entry_.decodedPath), {patch_->resultSize, patch_->resultSha256},
      syncNow, [](int percent) { SetFileProgress(percent); });
  if (outcome == PatchOutcome::kApplied) {
    FileOk = 1;
    return;
  }
  FallBack(outcome == PatchOutcome::kTooLarge ? MSG_LOG_WHOLE_TOO_LARGE
                                              : MSG_LOG_WHOLE_PATCH_FAILED);
}

void PatchFetch::FallBack(int messageSlot) {
  if (messageSlot >= 0) {
    LogTextWithName(Message(static_cast<MessageSlot>(messageSlot)), entry_.decodedPath);
  }
  patch_ = nullptr;
  fellBack_ = true;
  FileOk = 0;
  BytesDone = 0;
  Resuming = 0;
  if (keepsResumeRecord_) {
    // The offset goes to 0 on disk before the record of the patch goes:
    // a record that says "whole file" never meets the patch's bytes.
    SaveUpdateState(ServerVersion, EntriesDone, 0, 0);
    DeleteFileForced(TempFileKindPath);
  }
}

bool PatchFetch::TakeFallback() {
  const bool fell = fellBack_;
  fellBack_ = false;
  return fell;
}

}  // namespace launcher
