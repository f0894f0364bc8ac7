#include "update/fetch_ahead.h"

#include <atomic>
#include <chrono>
#include <utility>

#include "crypto/md5_digest.h"
#include "files/paths.h"
#include "files/server_mirrors.h"
#include "files/utf16.h"
#include "platform/file_stamp.h"
#include "update/digest_lookahead.h"
#include "update/directories.h"
#include "update/download_digest.h"
#include "update/download_unpack.h"
#include "update/list_path.h"
#include "update/mirror_walk.h"
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
  std::size_t server = 0;
  std::int64_t announced = 0;  // the answer's length, once its header came
  Downloader::TransferId id = 0;
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
  if (staged) ++taken_;
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
    FileStamp stamp;
    if (ReadFileStamp(ToPath(installed), stamp)) {
      if (const std::string* recorded = AskVerifiedRecord(path, stamp)) {
        slot.state = *recorded == slot.file.listDigest ? State::kSkip : State::kWanted;
        return;
      }
    }
  }
  LookAheadAnswer answer;
  DigestLookAhead* ahead = ActiveLookAhead();
  if (ahead != nullptr && ahead->Peek(PatcherDirPath + path, answer)) {
    slot.state =
        answer.readable && answer.digest == slot.file.listDigest ? State::kSkip : State::kWanted;
  }
}

void FetchAhead::StartTransfer(Slot& slot) {
  const std::u16string& path = slot.file.decodedPath;
  MirrorWalk servers;
  ClearObstaclesUnder(plan_.stagingRoot, path);
  CreateParentDirectories(plan_.stagingRoot + path);
  // Below the limit nothing goes to a helper thread: a file this small is
  // digested and decompressed as it arrives, on the worker.
  slot.digest = std::make_unique<DownloadDigest>(kFileLimit);
  slot.unpack = std::make_unique<DownloadUnpack>(plan_.stagingRoot + path, kFileLimit);
  slot.server = servers.server();
  TransferRequest request;
  request.url = servers.FileUrl(slot.file.expandedPath);
  request.sink = &slot;
  request.byteCap = kFileLimit;
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
    if (slot.digest->Finish(transfer.offset, digest) && slot.file.listDigest == digest &&
        slot.unpack->Commit(transfer.offset, false)) {
      slot.state = State::kStaged;
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
