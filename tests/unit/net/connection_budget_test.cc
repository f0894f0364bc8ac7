#include "net/connection_budget.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace launcher {
namespace {

struct Settled {
  int limit = 0;       // at the end
  double average = 0;  // over the time, in connections
};

// Feeds a budget with a link whose rate depends on the connections in use:
// `rate(n)` bytes per millisecond, every transfer `transferBytes` long.
// Transfers always wait for a connection (there are many files).
Settled Settle(ConnectionBudget& budget, const std::function<double(int)>& rate,
               std::int64_t transferBytes, std::int64_t ms, std::int64_t start = 0) {
  double pending = 0;
  double sum = 0;
  for (std::int64_t now = start; now < start + ms; ++now) {
    const double bytes = rate(budget.limit());
    budget.AddBytes(static_cast<std::int64_t>(bytes));
    pending += bytes;
    while (pending >= static_cast<double>(transferBytes)) {
      budget.TransferEnded();
      pending -= static_cast<double>(transferBytes);
    }
    budget.Update(now, true);
    sum += budget.limit();
  }
  return {budget.limit(), sum / static_cast<double>(ms)};
}

TEST(ConnectionBudgetTest, GrowsWhileConnectionsRaiseTheRateAndStepsBackWhenNot) {
  // Small files over a long link: every connection adds its share.
  ConnectionBudget latencyBound(6);
  EXPECT_EQ(latencyBound.limit(), ConnectionBudget::kStart);
  EXPECT_EQ(Settle(
                latencyBound, [](int n) { return 200.0 * n; }, 8192, 2000)
                .limit,
            6);

  // A full link: more connections bring nothing, so two it stays; long
  // after, only the probes now and then take more, and give them back.
  ConnectionBudget full(6);
  EXPECT_EQ(Settle(
                full, [](int) { return 1000.0; }, 1 << 20, 3000)
                .limit,
            2);
  EXPECT_LT(Settle(
                full, [](int) { return 1000.0; }, 1 << 20, 60000, 3000)
                .average,
            2.2);

  // Gains that stop at four: the step to six is taken back.
  ConnectionBudget fading(6);
  EXPECT_EQ(Settle(
                fading, [](int n) { return 300.0 * std::min(n, 4); }, 8192, 2000)
                .limit,
            4);
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
