#include "update/digest_lookahead.h"

#include <algorithm>
#include <system_error>

#include "crypto/md5_digest.h"
#include "crypto/sha256_digest.h"
#include "files/regular_file.h"
#include "files/utf16.h"
#include "pack/pack_format.h"
#include "seam/cancel.h"
#include "update/directories.h"
#include "update/release_trust.h"

namespace launcher {
namespace {

constexpr unsigned kMaxHelpers = 8;
constexpr std::size_t kShaReadPiece = 128 * 1024;

std::atomic<int> g_forcedHelpers{-1};
// Worker thread only.
DigestLookAhead* g_active = nullptr;

}  // namespace

DigestLookAhead::DigestLookAhead(std::vector<std::u16string> paths, unsigned helpers,
                                 AheadDigest kind)
    : paths_(std::move(paths)),
      kind_(kind),
      slots_(paths_.size(), Slot::kWaiting),
      answers_(paths_.size()) {
  const auto count = static_cast<unsigned>(std::min<std::size_t>(helpers, paths_.size()));
  for (unsigned i = 0; i < count; ++i) {
    try {
      threads_.emplace_back([this] { Help(); });
    } catch (const std::system_error&) {
      break;  // fewer helpers; the worker reads what none of them takes
    }
  }
}

DigestLookAhead::~DigestLookAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    halted_.store(true);
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

bool DigestLookAhead::Stopping() const {
  return halted_.load() || CancelRequested.load() != 0 || WindowClosing.load() != 0;
}

LookAheadAnswer DigestLookAhead::Compute(const std::u16string& path, const DigestLookAhead& owner) {
  LookAheadAnswer answer;
  FileStamp before;
  if (!IsRegularFileNoFollow(path) || !ReadFileStamp(ToPath(path), before)) return answer;
  std::string text;
  const bool read = owner.kind_ == AheadDigest::kInstalledSha256
                        ? InstalledSha256(path, owner, text)
                        : CompressedMd5(path, owner, text);
  // A file that changed while it was read has no answer here; the worker
  // reads it again.
  if (!read || !ReadFileStamp(ToPath(path), answer.stamp) || !(answer.stamp == before)) {
    return answer;
  }
  answer.digest = std::move(text);
  answer.readable = true;
  return answer;
}

bool DigestLookAhead::CompressedMd5(const std::u16string& path, const DigestLookAhead& owner,
                                    std::string& text) {
  Md5Digest digest;
  const bool read = CompressFileToSink(path, FrozenPackParameters(),
                                       [&](const unsigned char* data, std::size_t size) {
                                         digest.Update(data, size);
                                         return !owner.Stopping();
                                       });
  if (!read) return false;
  digest.Final();
  char hex[kDigestTextCapacity] = {};
  unsigned capacity = static_cast<unsigned>(kDigestTextCapacity);
  digest.ToHex(hex, capacity);
  text = hex;
  return true;
}

bool DigestLookAhead::InstalledSha256(const std::u16string& path, const DigestLookAhead& owner,
                                      std::string& text) {
  RegularFile file(path);
  if (!file.is_open()) return false;
  file.AdviseSequential();
  Sha256Digest digest;
  std::vector<unsigned char> buffer(kShaReadPiece);
  for (;;) {
    if (owner.Stopping()) return false;
    const std::int64_t n = file.ReadFull(buffer.data(), buffer.size());
    if (n < 0) return false;
    digest.Update(buffer.data(), static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < buffer.size()) break;
  }
  text = digest.FinalHex();
  return !text.empty();
}

void DigestLookAhead::Help() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] {
      return stop_ || (nextToClaim_ < paths_.size() && nextToClaim_ < cursor_ + kWindow);
    });
    if (stop_) return;
    const std::size_t i = nextToClaim_++;
    if (slots_[i] != Slot::kWaiting) continue;  // the worker took it itself
    slots_[i] = Slot::kReading;
    lock.unlock();
    LookAheadAnswer answer = Stopping() ? LookAheadAnswer{} : Compute(paths_[i], *this);
    lock.lock();
    answers_[i] = std::move(answer);
    slots_[i] = Slot::kDone;
    changed_.notify_all();
  }
}

bool DigestLookAhead::Take(std::u16string_view path, LookAheadAnswer& answer) {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::size_t end = std::min(paths_.size(), cursor_ + kWindow);
  std::size_t j = cursor_;
  while (j < end && paths_[j] != path) ++j;
  if (j == end) return false;
  // Planned files the worker passed over are dropped with their answers.
  for (std::size_t k = cursor_; k < j; ++k) {
    if (slots_[k] == Slot::kWaiting) slots_[k] = Slot::kDropped;
    if (slots_[k] == Slot::kDone) answers_[k] = LookAheadAnswer{};
  }
  cursor_ = j + 1;
  changed_.notify_all();
  if (slots_[j] == Slot::kWaiting) {
    slots_[j] = Slot::kDropped;
    return false;
  }
  changed_.wait(lock, [&] { return slots_[j] == Slot::kDone; });
  answer = std::move(answers_[j]);
  answers_[j] = LookAheadAnswer{};
  return answer.readable;
}

bool DigestLookAhead::Peek(std::u16string_view path, LookAheadAnswer& answer) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t end = std::min(nextToClaim_, paths_.size());
  for (std::size_t j = cursor_; j < end; ++j) {
    if (paths_[j] != path) continue;
    if (slots_[j] != Slot::kDone) return false;
    answer = answers_[j];
    return true;
  }
  return false;
}

void DigestLookAhead::WaitForAnswersForTesting(std::size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] {
    for (std::size_t i = 0; i < count && i < slots_.size(); ++i) {
      if (slots_[i] != Slot::kDone) return false;
    }
    return true;
  });
}

unsigned LookAheadHelpers() {
  const int forced = g_forcedHelpers.load();
  if (forced >= 0) return static_cast<unsigned>(forced);
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return std::min(cores, kMaxHelpers);
}

void SetLookAheadHelpersForTesting(int helpers) { g_forcedHelpers.store(helpers); }

DigestLookAhead* ActiveLookAhead() { return g_active; }

LookAheadScope::LookAheadScope(std::vector<std::u16string> paths)
    : ahead_(std::move(paths), LookAheadHelpers(),
             ActiveManifest() != nullptr ? AheadDigest::kInstalledSha256
                                         : AheadDigest::kCompressedMd5),
      previous_(g_active) {
  g_active = &ahead_;
}

LookAheadScope::~LookAheadScope() { g_active = previous_; }

}  // namespace launcher
