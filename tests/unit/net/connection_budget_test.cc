#include "net/connection_budget.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace launcher {
namespace {

// Feeds a budget with a link whose rate depends on the connections in use:
// `rate(n)` bytes per millisecond, every transfer `transferBytes` long.
// Transfers always wait for a connection (there are many files). Returns the
// limit after `ms` milliseconds.
int Settle(ConnectionBudget& budget, const std::function<double(int)>& rate,
           std::int64_t transferBytes, std::int64_t ms, std::int64_t start = 0) {
  double pending = 0;
  for (std::int64_t now = start; now < start + ms; ++now) {
    const double bytes = rate(budget.limit());
    budget.AddBytes(static_cast<std::int64_t>(bytes));
    pending += bytes;
    while (pending >= static_cast<double>(transferBytes)) {
      budget.TransferEnded();
      pending -= static_cast<double>(transferBytes);
    }
    budget.Update(now, true);
  }
  return budget.limit();
}

TEST(ConnectionBudgetTest, GrowsWhileConnectionsRaiseTheRateAndStepsBackWhenNot) {
  // Small files over a long link: every connection adds its share.
  ConnectionBudget latencyBound(6);
  EXPECT_EQ(latencyBound.limit(), ConnectionBudget::kStart);
  EXPECT_EQ(Settle(
                latencyBound, [](int n) { return 200.0 * n; }, 8192, 5000),
            6);

  // A full link: a third connection brings nothing, so two it stays, also
  // long after (the probe again after the hold finds the same).
  ConnectionBudget full(6);
  EXPECT_EQ(Settle(
                full, [](int) { return 1000.0; }, 1 << 20, 3000),
            2);
  EXPECT_LE(Settle(
                full, [](int) { return 1000.0; }, 1 << 20, 60000, 3000),
            2);

  // Gains that fade: two and three help, a fourth does not.
  ConnectionBudget fading(6);
  EXPECT_EQ(Settle(
                fading, [](int n) { return 300.0 * std::min(n, 3); }, 8192, 5000),
            3);

  // Never above its maximum, never below one.
  ConnectionBudget single(1);
  EXPECT_EQ(single.limit(), 1);
  EXPECT_EQ(Settle(
                single, [](int n) { return 200.0 * n; }, 8192, 2000),
            1);
}

TEST(ConnectionBudgetTest, LearnsNothingWhileNothingWaits) {
  ConnectionBudget budget(6);
  for (std::int64_t now = 0; now < 10000; now += 10) {
    budget.AddBytes(100000);
    budget.TransferEnded();
    budget.Update(now, false);
  }
  EXPECT_EQ(budget.limit(), ConnectionBudget::kStart);
}

}  // namespace
}  // namespace launcher
