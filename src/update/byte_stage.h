// Work on a transfer's bytes in file order, moved off the worker once the
// transfer is large enough to be worth a thread: below `inlineBytes` each
// piece is handed to `consume` on the calling thread; past it, the bytes are
// copied into a few fixed buffers that a helper thread of this object hands
// to `consume` in order while the caller receives the next ones. Memory: at
// most kBuffers buffers of kBufferBytes.
//
// Append, Drain and Reset are called from one thread (the worker, inside
// Download). `consume` runs on one thread at a time, never at once with a
// Drain returning. The destructor stops and joins the helper without
// waiting for what is queued (at most the buffer it is working on), so a
// worker ended by a cancel unwinds at once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace launcher {

class ByteStage {
 public:
  static constexpr std::size_t kBufferBytes = 512 * 1024;
  static constexpr std::size_t kBuffers = 4;
  static constexpr std::int64_t kDefaultInlineBytes = 1024 * 1024;

  using Consumer = std::function<void(std::string_view bytes)>;

  explicit ByteStage(Consumer consume, std::int64_t inlineBytes = kDefaultInlineBytes);
  ~ByteStage();
  ByteStage(const ByteStage&) = delete;
  ByteStage& operator=(const ByteStage&) = delete;

  void Append(std::string_view bytes);
  // Returns once every byte appended so far has been consumed.
  void Drain();
  // Drain, then counts from zero again (a body that starts over).
  void Reset();
  // Bytes appended since the last Reset.
  std::int64_t bytes() const { return bytes_; }

 private:
  bool StartHelper();  // false when no thread can be started
  void HandOver();     // queues the filling buffer for the helper
  void HelperLoop();

  Consumer consume_;
  std::int64_t inlineBytes_;
  std::int64_t bytes_ = 0;

  std::thread helper_;
  std::string filling_;  // caller side: bytes not handed over yet
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> queued_;  // in file order
  std::vector<std::string> spare_;  // emptied buffers, reused
  bool busy_ = false;               // the helper holds a buffer
  bool stop_ = false;
};

}  // namespace launcher
