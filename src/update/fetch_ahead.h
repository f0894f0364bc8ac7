// Fetching the files of a list ahead of the pass that walks it, so that
// many transfers run at once (HTTP/2 streams on one connection, or a few
// HTTP/1.1 connections) instead of one round trip per file.
//
// The pass (the incremental update's fetch pass, the full check's check
// pass) still handles its entries one by one in list order, and it alone
// writes the resume record, the log and the display. A FetchAhead reads the
// list a little ahead of it, with its own reader, and starts transfers for
// the entries it can tell need a file: the installed copy is missing, or the
// record of verified files or the look-ahead digests (a hint, not taken)
// say it differs and the delta index offers no patch for it (an entry with
// a patch on offer is the pass's, which fetches the patch; Take logs, for
// the pass, that a file fetched ahead came whole for want of one). Such a
// transfer writes no "tempfile.dat": its body goes straight to the digest
// and to the decompressed copy, and the copy takes its listed name in the
// staging tree only once the digest has matched the list. When the pass
// reaches an entry it asks Take: a staged copy is there (the pass waits for
// a transfer still running), or the pass fetches the file itself as
// before, from "tempfile.dat" with resume at the byte.
//
// So the resume record keeps its meaning: entries done in list order, and
// the byte of the one the pass is fetching. Files are fetched ahead only
// up to kFileLimit bytes (a longer answer is dropped at its header and the
// pass fetches it in its turn, resumable at the byte), and no new one starts
// while those in flight announced kBytesInFlight or more. What a killed run
// had staged ahead is found by the next one (IsStagedCopyCurrent checks it
// against the list); what it had in flight, at most about kBytesInFlight, is
// fetched again.
//
// Transfers fetched ahead go to the first server of the run's file order
// (mirror_walk.h); one that fails for any reason is left to the pass, which
// tries it with the usual retries and fallbacks. A server found down by a
// transfer fetched ahead is marked down (the pass then skips it).
//
// Ownership and threads: made by the worker for one pass and destroyed by it
// at the end of the pass or while a WorkerCancelled unwinds, which drops
// every transfer still running and their partial copies. Everything runs on
// the worker: SharedDownloader calls back into it (its round hook and the
// transfers' callbacks) while the worker is inside Download or RunUntil.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "net/downloader.h"
#include "update/list_entry.h"
#include "update/list_file.h"

namespace launcher {

class DownloadDigest;
class DownloadUnpack;

class FetchAhead {
 public:
  // Files above this many bytes (compressed) are left to the pass.
  static constexpr std::int64_t kFileLimit = 1 << 20;
  // Bytes the transfers in flight may announce before no more start.
  static constexpr std::int64_t kBytesInFlight = 8 << 20;
  // Entries the reader runs ahead of the pass at most.
  static constexpr int kWindow = 256;

  struct Plan {
    std::u16string listPath;
    bool incremental = false;
    // The pass is at this entry; only later ones are fetched ahead (the
    // pass may be resuming this one at a byte).
    int firstEntry = 0;
    std::vector<bool> skip;          // by entry: the pass leaves it alone
    std::u16string stagingRoot;      // TempDirPath or CheckDirPath
    bool stagedCopiesCount = false;  // a copy found staged is the pass's to check
  };

  explicit FetchAhead(Plan plan);
  ~FetchAhead();
  FetchAhead(const FetchAhead&) = delete;
  FetchAhead& operator=(const FetchAhead&) = delete;

  // The pass has come to entry `index` (every entry, needed or not):
  // entries before it are forgotten, transfers for them dropped.
  void At(int index);
  // The pass is at entry `index` and needs its file. True when it was
  // fetched ahead and its copy is staged with the listed content (after
  // waiting for its transfer); false when the pass fetches it itself.
  bool Take(int index);

  // For tests: transfers started so far, and entries taken staged.
  int started() const { return started_; }
  int taken() const { return taken_; }

 private:
  enum class State { kUndecided, kSkip, kWanted, kRunning, kStaged, kFailed };
  struct Slot;

  void Round();
  void ReadMore();
  void Decide(Slot& slot);
  void WantUnlessPatched(Slot& slot);
  static const std::string& Expected(const Slot& slot);
  void StartTransfer(Slot& slot);
  void Ended(Slot& slot, int event, const Transfer& transfer);
  void Drop(Slot& slot);
  void Forget(int before);

  Plan plan_;
  ListReader reader_;
  std::string listDir_;  // the reader's CurrentListDir
  int nextIndex_ = 0;    // the entry the reader reads next
  bool listEnded_ = false;
  int passAt_ = -1;  // the entry the pass is at
  std::deque<std::unique_ptr<Slot>> window_;
  bool changed_ = true;  // a transfer ended or the pass moved since the last round
  std::int64_t lastRoundMs_ = 0;
  int running_ = 0;
  int started_ = 0;
  int taken_ = 0;
};

// Fetching ahead is on unless a test turns it off (every file then comes
// through the pass, one at a time, as without it).
bool FetchAheadEnabled();
void SetFetchAheadForTesting(bool enabled);

}  // namespace launcher
