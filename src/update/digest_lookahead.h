// Look-ahead digests: helper threads compute the compressed-form digests of
// the installed files that the worker is about to ask "is it current?"
// about, while the worker is busy with the entries before them.
//
// Ownership and threads: one DigestLookAhead is made by the worker for one
// pass over a list and destroyed by it at the end of the pass (or while a
// WorkerCancelled unwinds). It owns its helpers; they only read installed
// files and never touch the display, the logs or any state file. The worker
// takes the answers in list order. A close of the window (CancelRequested or
// WindowClosing) stops the helpers at their next 128 KiB of input and their
// pending work is dropped; nothing waits for them but the destructor, on the
// worker. Memory is bounded by the window: at most kWindow answers are
// computed ahead of the worker, and each helper keeps one compression
// context for its life.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_stamp.h"

namespace launcher {

// What the helpers compute: the MD5 of a file's compressed form (what the
// lists give), or, when a release manifest is loaded, the SHA-256 of the
// installed file itself, which the manifest gives and which costs no
// compression.
enum class AheadDigest { kCompressedMd5, kInstalledSha256 };

struct LookAheadAnswer {
  bool readable = false;  // the file was read to its end
  std::string digest;     // text form, when readable
  FileStamp stamp;        // the file's stamp after the read
};

class DigestLookAhead {
 public:
  static constexpr std::size_t kWindow = 64;

  // `paths`: the installed files the worker will ask about, in its order.
  // Starts `helpers` threads, fewer when the list is short; none for 0.
  DigestLookAhead(std::vector<std::u16string> paths, unsigned helpers,
                  AheadDigest kind = AheadDigest::kCompressedMd5);
  // Stops the helpers and waits for them to leave their current read.
  ~DigestLookAhead();
  DigestLookAhead(const DigestLookAhead&) = delete;
  DigestLookAhead& operator=(const DigestLookAhead&) = delete;

  // Worker: the answer for `path`, the next planned file the worker asks
  // about (planned files passed over are dropped). Waits while a helper is
  // reading it. False when no helper has begun it: the worker reads it
  // itself, and no helper will.
  bool Take(std::u16string_view path, LookAheadAnswer& answer);

  // Worker: the answer for `path` when a helper has finished it and the
  // worker has not taken it yet, without taking it (a hint for planning:
  // the file may change before the worker asks). False otherwise.
  bool Peek(std::u16string_view path, LookAheadAnswer& answer) const;

  std::size_t helpers() const { return threads_.size(); }
  AheadDigest kind() const { return kind_; }
  // Tests: waits until the helpers have finished the first `count` files.
  void WaitForAnswersForTesting(std::size_t count);

 private:
  enum class Slot { kWaiting, kReading, kDone, kDropped };

  void Help();
  bool Stopping() const;
  static LookAheadAnswer Compute(const std::u16string& path, const DigestLookAhead& owner);
  static bool CompressedMd5(const std::u16string& path, const DigestLookAhead& owner,
                            std::string& text);
  static bool InstalledSha256(const std::u16string& path, const DigestLookAhead& owner,
                              std::string& text);

  const std::vector<std::u16string> paths_;
  const AheadDigest kind_;
  std::vector<Slot> slots_;               // guarded by mutex_
  std::vector<LookAheadAnswer> answers_;  // slot i's answer once kDone
  std::size_t nextToClaim_ = 0;           // guarded by mutex_
  std::size_t cursor_ = 0;                // worker's position; guarded by mutex_
  bool stop_ = false;                     // guarded by mutex_
  std::atomic<bool> halted_{false};       // stop_, readable without the lock
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::thread> threads_;
};

// Helpers for a pass: one per core, at most 8; 0 turns the look-ahead off.
// Tests may force a number (a negative one restores the default).
unsigned LookAheadHelpers();
void SetLookAheadHelpersForTesting(int helpers);

// The look-ahead the worker's "is it current?" checks consult, if any: set
// for the life of a pass by LookAheadScope, which computes SHA-256 answers
// when a release manifest is loaded and MD5 answers otherwise.
DigestLookAhead* ActiveLookAhead();

class LookAheadScope {
 public:
  explicit LookAheadScope(std::vector<std::u16string> paths);
  ~LookAheadScope();
  LookAheadScope(const LookAheadScope&) = delete;
  LookAheadScope& operator=(const LookAheadScope&) = delete;

 private:
  DigestLookAhead ahead_;
  DigestLookAhead* previous_;
};

}  // namespace launcher
