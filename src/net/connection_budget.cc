#include "net/connection_budget.h"

#include <algorithm>

namespace launcher {

ConnectionBudget::ConnectionBudget(int maxConnections)
    : max_(std::max(1, maxConnections)), limit_(std::min(kStart, max_)) {}

void ConnectionBudget::Update(std::int64_t nowMs, bool waiting) {
  if (windowStart_ < 0) {
    if (waiting) StartWindow(nowMs);
    return;
  }
  if (!waiting) saturated_ = false;
  const std::int64_t elapsed = nowMs - windowStart_;
  // A window sees a few transfers end on every connection, so that a
  // connection the last step added (its handshake included) weighs in.
  if (elapsed >= kLongWindowMs ||
      (ended_ >= kEndsPerConnection * limit_ && elapsed >= kShortWindowMs)) {
    EndWindow(nowMs);
  }
}

void ConnectionBudget::StartWindow(std::int64_t nowMs) {
  windowStart_ = nowMs;
  saturated_ = true;
  bytes_ = 0;
  ended_ = 0;
}

void ConnectionBudget::EndWindow(std::int64_t nowMs) {
  if (!saturated_) {
    // Fewer transfers wanted to run than the limit allowed: the window says
    // nothing about it.
    windowStart_ = -1;
    return;
  }
  const double rate = static_cast<double>(bytes_) /
                      static_cast<double>(std::max<std::int64_t>(1, nowMs - windowStart_));
  if (holding_ > 0) {
    --holding_;
  } else if (stepped_ && rate < rateBefore_ * kGain) {
    // The connections added last did not pay for themselves.
    limit_ = limitBefore_;
    stepped_ = false;
    holding_ = kHoldWindows;
  } else if (limit_ < max_) {
    rateBefore_ = rate;
    limitBefore_ = limit_;
    limit_ = std::min(max_, limit_ * 2);
    stepped_ = true;
  } else {
    stepped_ = false;
  }
  StartWindow(nowMs);
}

}  // namespace launcher
