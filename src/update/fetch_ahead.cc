#include "update/fetch_ahead.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <utility>

#include "crypto/md5_digest.h"
#include "files/log.h"
#include "files/paths.h"
#include "files/server_mirrors.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "platform/file_stamp.h"
#include "update/delta_fetch.h"
#include "update/digest_lookahead.h"
#include "update/directories.h"
#include "update/download_digest.h"
#include "update/download_unpack.h"
#include "update/list_path.h"
#include "update/mirror_walk.h"
#include "update/pass_progress.h"
#include "update/transfer_plan.h"
#include "update/update_state.h"
#include "update/verified_files.h"

namespace launcher {
namespace {

std::atomic<bool> g_enabled{true};

// The longest the undecided entries wait for another look when nothing
// happens: the look-ahead digests answer in the meantime.
constexpr std::int64_t kRoundMs = 20;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The reader's list directory in place of the pass's for as long as it
// reads: both walk the same list, each from its own position.
class ListDirSwap {
 public:
  explicit ListDirSwap(std::string& mine) : mine_(mine) { std::swap(mine_, CurrentListDir); }
  ~ListDirSwap() { std::swap(mine_, CurrentListDir); }
  ListDirSwap(const ListDirSwap&) = delete;
  ListDirSwap& operator=(const ListDirSwap&) = delete;

 private:
  std::string& mine_;
};

}  // namespace

bool FetchAheadEnabled() { return g_enabled.load(); }
void SetFetchAheadForTesting(bool enabled) { g_enabled.store(enabled); }

// One entry of the window. It is its transfer's body sink: the bytes go to
// the digest and to the decompressed copy, nowhere else.
struct FetchAhead::Slot final : BodySink {
  int index = 0;
  ListedFile file;
  State state = State::kUndecided;
  bool installedSeen = false;  // the installed file exists; waiting for a digest
  bool differs = false;        // the installed copy is not current
  bool noPatch = false;        // and the delta index offers no patch for it
  std::size_t server = 0;
  std::int64_t announced = 0;  // the answer's length, once its header came
  std::int64_t received = 0;   // the bytes of a staged copy's transfer
  Downloader::TransferId id = 0;
  // The release manifest's entry for the file, when there is one: its
  // compressed form's size and SHA-256 bound the transfer and its bytes.
  bool isSigned = false;
  ManifestEntry signedEntry;
  std::unique_ptr<DownloadDigest> digest;
  std::unique_ptr<DownloadUnpack> unpack;

  void Restart() override {
    digest->Restart();
    unpack->Restart();
  }
  void Append(std::string_view bytes) override {
    digest->Append(bytes);
    unpack->Append(bytes);
  }
};

FetchAhead::FetchAhead(Plan plan) : plan_(std::move(plan)), reader_(plan_.listPath) {
  passAt_ = plan_.firstEntry;
  if (!FetchAheadEnabled() || !reader_.is_open() || SharedDownloader == nullptr) {
    listEnded_ = true;
    return;
  }
  // The reader starts where every pass starts, and walks to the pass's
  // entry so that its list directory is the pass's.
  ListDirSwap swap(listDir_);
  CurrentListDir.clear();
  std::string line;
  for (; nextIndex_ <= plan_.firstEntry; ++nextIndex_) {
    ListedFile file;
    if (reader_.NextEntry(line) != ListLine::kEntry ||
        !ReadListedFileQuietly(line, plan_.incremental, file)) {
      listEnded_ = true;
      return;
    }
  }
  SharedDownloader->SetRoundHook([this] { Round(); });
}

FetchAhead::~FetchAhead() {
  if (SharedDownloader == nullptr) return;
  SharedDownloader->SetRoundHook(nullptr);
  for (auto& slot : window_) {
    if (slot->state == State::kRunning) SharedDownloader->Cancel(slot->id);
  }
}

void FetchAhead::At(int index) {
  if (index <= passAt_) return;
  passAt_ = index;
  Forget(index);
  changed_ = true;
}

bool FetchAhead::Take(int index) {
  At(index);
  Round();
  if (window_.empty() || window_.front()->index != index) return false;
  Slot& slot = *window_.front();
  if (slot.state == State::kRunning) {
    SharedDownloader->RunUntil([&slot] { return slot.state != State::kRunning; });
  }
  const bool staged = slot.state == State::kStaged;
  if (staged) {
    ++taken_;
    // What the pass's fetch would have logged first.
    if (slot.noPatch) LogTextWithName(Message(MSG_LOG_WHOLE_NO_PATCH), slot.file.decodedPath);
    NoteTransferStarting(slot.file.decodedPath);  // a signed total counts it now
    // The window's figures count the file's bytes now, as those of a
    // transfer the pass made.
    Transfer counted;
    counted.contentLength = slot.received;
    ShowTransferFigures(DOWNLOAD_STARTED, counted);
    counted.offset = slot.received;
    counted.state = TRANSFER_DONE;
    ShowTransferFigures(DOWNLOAD_DONE, counted);
  }
  // The pass fetches it itself otherwise; nothing starts for it here now.
  if (!staged) slot.state = State::kFailed;
  return staged;
}

// Drops the entries before `before`: the pass is past them.
void FetchAhead::Forget(int before) {
  while (!window_.empty() && window_.front()->index < before) {
    Drop(*window_.front());
    window_.pop_front();
  }
}

void FetchAhead::Drop(Slot& slot) {
  if (slot.state == State::kRunning) {
    SharedDownloader->Cancel(slot.id);
    --running_;
  }
  slot.state = State::kFailed;
}

void FetchAhead::ReadMore() {
  if (listEnded_) return;
  ListDirSwap swap(listDir_);
  std::string line;
  while (nextIndex_ <= passAt_ + kWindow) {
    auto slot = std::make_unique<Slot>();
    if (reader_.NextEntry(line) != ListLine::kEntry ||
        !ReadListedFileQuietly(line, plan_.incremental, slot->file)) {
      listEnded_ = true;
      return;
    }
    slot->index = nextIndex_++;
    if (slot->index > passAt_) window_.push_back(std::move(slot));
  }
}

// Whether the entry needs its file, as far as can be told without reading
// the installed copy: missing, or a digest known from the record or the
// look-ahead that differs.
void FetchAhead::Decide(Slot& slot) {
  if (slot.differs) return WantUnlessPatched(slot);
  const std::u16string& path = slot.file.decodedPath;
  const auto index = static_cast<std::size_t>(slot.index);
  if (!slot.installedSeen) {
    if ((index < plan_.skip.size() && plan_.skip[index]) ||
        (plan_.incremental && slot.file.operation == '-') ||
        !StaysInsideRoot(PatcherDirPath, path) || !StaysInsideRoot(plan_.stagingRoot, path) ||
        IsSymbolicLink(plan_.stagingRoot + path) ||
        (plan_.stagedCopiesCount && IsRegularFileNoFollow(plan_.stagingRoot + path))) {
      slot.state = State::kSkip;
      return;
    }
    const std::u16string installed = PatcherDirPath + path;
    if (!IsRegularFileNoFollow(installed)) {
      slot.state = State::kWanted;
      return;
    }
    slot.installedSeen = true;
    slot.isSigned = SignedEntryFor(path, slot.signedEntry);
    FileStamp stamp;
    if (ReadFileStamp(ToPath(installed), stamp)) {
      // With a release manifest the installed form's size and SHA-256 tell;
      // otherwise the compressed form's list digest.
      if (slot.isSigned &&
          static_cast<std::int64_t>(stamp.size) != slot.signedEntry.installedSize) {
        return WantUnlessPatched(slot);
      }
      const std::string* recorded =
          slot.isSigned ? AskVerifiedSha256(path, stamp) : AskVerifiedRecord(path, stamp);
      if (recorded != nullptr) {
        if (*recorded == Expected(slot)) {
          slot.state = State::kSkip;
          return;
        }
        return WantUnlessPatched(slot);
      }
    }
  }
  LookAheadAnswer answer;
  DigestLookAhead* ahead = ActiveLookAhead();
  if (ahead != nullptr && ahead->Peek(PatcherDirPath + path, answer)) {
    if (answer.readable && answer.digest == Expected(slot)) {
      slot.state = State::kSkip;
      return;
    }
    WantUnlessPatched(slot);
  }
}

// An installed copy that is not current may be the base of a patch, which
// its fetch downloads instead of the file: such an entry is left to the
// pass. Until the pass has loaded the index (for its first entry with such
// a copy), the entry stays undecided.
void FetchAhead::WantUnlessPatched(Slot& slot) {
  slot.differs = true;
  switch (PatchOfferFor(slot.file)) {
    case PatchOffer::kNone:
      slot.noPatch = true;
      slot.state = State::kWanted;
      break;
    case PatchOffer::kNoIndex:
      slot.state = State::kWanted;
      break;
    case PatchOffer::kOffered:
      slot.state = State::kSkip;
      break;
    case PatchOffer::kUnknown:
      break;
  }
}

// The digest the installed file has when it is current: the manifest's
// SHA-256 of the installed form, or the list digest.
const std::string& FetchAhead::Expected(const Slot& slot) {
  return slot.isSigned ? slot.signedEntry.installedSha256 : slot.file.listDigest;
}

void FetchAhead::StartTransfer(Slot& slot) {
  const std::u16string& path = slot.file.decodedPath;
  MirrorWalk servers;
  ClearObstaclesUnder(plan_.stagingRoot, path);
  CreateParentDirectories(plan_.stagingRoot + path);
  // Below the limit nothing goes to a helper thread: a file this small is
  // digested and decompressed as it arrives, on the worker.
  if (!slot.installedSeen) slot.isSigned = SignedEntryFor(path, slot.signedEntry);
  slot.digest = std::make_unique<DownloadDigest>(kFileLimit, slot.isSigned);
  slot.unpack = std::make_unique<DownloadUnpack>(plan_.stagingRoot + path, kFileLimit);
  slot.server = servers.server();
  TransferRequest request;
  request.url = servers.FileUrl(slot.file.expandedPath);
  request.sink = &slot;
  request.byteCap =
      slot.isSigned ? std::min(kFileLimit, slot.signedEntry.compressedSize) : kFileLimit;
  request.firstBytesOnly = true;
  request.callback = [this, target = &slot](int event, const Transfer& transfer) {
    if (event == DOWNLOAD_STARTED) target->announced = transfer.contentLength;
    if (event == DOWNLOAD_DONE || event == DOWNLOAD_FAILED) Ended(*target, event, transfer);
    return 0;
  };
  slot.id = SharedDownloader->Start(std::move(request));
  slot.state = State::kRunning;
  ++running_;
  ++started_;
}

// The transfer's last event: the copy takes its listed name only when the
// bytes are the listed ones; anything else is left to the pass.
void FetchAhead::Ended(Slot& slot, int event, const Transfer& transfer) {
  --running_;
  changed_ = true;
  slot.state = State::kFailed;
  if (event == DOWNLOAD_DONE && transfer.state == TRANSFER_DONE) {
    char digest[kDigestTextCapacity] = {};
    const bool whole = slot.digest->Finish(transfer.offset, digest);
    // With a release manifest the bytes are its compressed form too: an MD5
    // twin is never staged.
    const bool signedFormMatches =
        !slot.isSigned || (transfer.offset == slot.signedEntry.compressedSize &&
                           slot.digest->sha256() == slot.signedEntry.compressedSha256);
    if (whole && slot.file.listDigest == digest && signedFormMatches &&
        slot.unpack->Commit(transfer.offset, false)) {
      slot.state = State::kStaged;
      slot.received = transfer.offset;
    }
  } else if (transfer.connectFailure) {
    RunServers.MarkDown(slot.server);
  }
  slot.unpack.reset();  // an uncommitted copy goes
  slot.digest.reset();
}

// Called on every round of the downloader: reads ahead, decides, and keeps
// the server's free connections or streams busy (one transfer more waits,
// so that the connection budget sees that more were wanted).
void FetchAhead::Round() {
  const std::int64_t now = NowMs();
  if (!changed_ && now - lastRoundMs_ < kRoundMs) return;
  changed_ = false;
  lastRoundMs_ = now;
  ReadMore();
  std::int64_t inFlight = 0;
  for (auto& owned : window_) {
    if (owned->state == State::kRunning) inFlight += owned->announced;
  }
  for (auto& owned : window_) {
    Slot& slot = *owned;
    if (slot.index <= passAt_) continue;  // the pass's own
    if (slot.state == State::kUndecided) Decide(slot);
    if (slot.state != State::kWanted) continue;
    if (inFlight >= kBytesInFlight ||
        SharedDownloader->FreeSlots(MirrorWalk().FileUrl(slot.file.expandedPath)) < 0) {
      break;
    }
    StartTransfer(slot);
  }
}

}  // namespace launcher
