// How many HTTP/1.1 transfers the downloader runs at once: each needs a
// connection of its own, and many parallel connections are a known
// complaint on slow links (a Wi-Fi shared with a household). The budget
// starts small and doubles (up to its maximum) only while the last step
// raised the rate at which bytes arrive: files that are small against the
// round trip gain from every connection, a link that is already full gains
// nothing, and then the budget steps back to where it was and stays.
//
// Measured in windows: a window runs while transfers were waiting for a
// connection (so the limit was what held them back) and ends after it has
// seen a few transfers end per connection, or after kLongWindowMs. A window
// in which nothing waited says nothing about the limit and is dropped.
// After a step that did not pay, the budget probes again only after
// kHoldWindows windows (the link may have changed).
//
// Plain value type; the pool feeds it on the worker thread. Times are
// milliseconds of any monotonic clock, passed in, so it is tested without
// waiting.
#pragma once

#include <cstdint>

namespace launcher {

class ConnectionBudget {
 public:
  static constexpr int kStart = 2;
  static constexpr std::int64_t kShortWindowMs = 40;
  static constexpr std::int64_t kLongWindowMs = 500;
  static constexpr int kEndsPerConnection = 4;
  // A step up must raise the rate by this factor to be kept.
  static constexpr double kGain = 1.12;
  static constexpr int kHoldWindows = 40;

  explicit ConnectionBudget(int maxConnections);

  int limit() const { return limit_; }
  int max() const { return max_; }

  // Body bytes that arrived on HTTP/1.1 transfers, and transfers that ended.
  void AddBytes(std::int64_t bytes) { bytes_ += bytes; }
  void TransferEnded() { ++ended_; }
  // Called as the pool drives its transfers. `waiting`: a transfer was
  // ready to start but held back by the limit.
  void Update(std::int64_t nowMs, bool waiting);

 private:
  void StartWindow(std::int64_t nowMs);
  void EndWindow(std::int64_t nowMs);

  int max_;
  int limit_;
  std::int64_t windowStart_ = -1;  // -1: no window open
  bool saturated_ = false;         // something waited through the whole window
  std::int64_t bytes_ = 0;         // since the window opened
  int ended_ = 0;
  double rateBefore_ = 0;  // bytes per ms at the limit before the last step up
  int limitBefore_ = 0;    // that limit
  bool stepped_ = false;   // the last window ended with a step up
  int holding_ = 0;        // windows left before probing again
};

}  // namespace launcher
