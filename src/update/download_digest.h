// The MD5 of "tempfile.dat" taken while a transfer writes it: the downloader
// hands every byte of the file, in file order, to this sink (the prefix of
// a resumed file read back once, a body that starts again at byte 0 when a
// server ignores the range), so the check of a finished download needs no
// second pass over the file.
//
// Once a transfer has passed `inlineBytes`, the bytes are copied into a few
// fixed buffers and digested by a helper thread of this object while the
// worker receives the next ones (the download leaves a core mostly idle);
// below that, and for small files, they are digested on the calling thread.
// Memory: at most kBuffers buffers of kBufferBytes.
//
// Owned by the fetch of one entry on the worker thread; Restart, Append and
// Finish are called there (the downloader calls the first two inside
// Download). The helper only digests the buffers it is handed. The
// destructor stops and joins it without waiting for the digest (at most the
// buffer it is working on), so a worker ended by a cancel unwinds at once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "crypto/md5_digest.h"
#include "net/downloader.h"

namespace launcher {

class DownloadDigest final : public BodySink {
 public:
  static constexpr std::size_t kBufferBytes = 512 * 1024;
  static constexpr std::size_t kBuffers = 4;
  static constexpr std::int64_t kDefaultInlineBytes = 1024 * 1024;

  explicit DownloadDigest(std::int64_t inlineBytes = kDefaultInlineBytes);
  ~DownloadDigest() override;
  DownloadDigest(const DownloadDigest&) = delete;
  DownloadDigest& operator=(const DownloadDigest&) = delete;

  void Restart() override;
  void Append(std::string_view bytes) override;

  // Writes the text form of the digest into `out` (at least 33 bytes) and
  // returns true when the bytes seen are the whole file: exactly `fileSize`
  // of them. Otherwise (the file holds bytes the transfer never gave, or its
  // size is unknown, -1) returns false, changes nothing, and the file must
  // be read. A true answer ends the digest; Restart begins a new one.
  bool Finish(std::int64_t fileSize, char* out);

 private:
  bool StartHelper();  // false when no thread can be started
  void HandOver();     // queues the filling buffer for the helper
  void Drain();        // waits until the helper has digested every queued buffer
  void HelperLoop();

  std::int64_t inlineBytes_;
  std::unique_ptr<Md5Digest> digest_;  // the helper's while it runs
  std::int64_t bytes_ = 0;             // given since the last Restart

  std::thread helper_;
  std::string filling_;  // worker side: bytes not handed over yet
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> queued_;  // in file order
  std::vector<std::string> spare_;  // emptied buffers, reused
  bool busy_ = false;               // the helper holds a buffer
  bool stop_ = false;
};

}  // namespace launcher
