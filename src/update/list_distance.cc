#include "update/list_distance.h"

#include <climits>
#include <cstdint>

namespace launcher {

int ListDistance(int behind) {
  if (behind <= 10) return behind;
  // 64-bit so that the step past the largest int cannot overflow.
  std::int64_t n = 10;
  std::int64_t step = 2;
  while (n < behind) {
    n += step;
    ++step;
  }
  return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

bool IsListDistance(int n) { return n >= 1 && ListDistance(n) == n; }

std::vector<int> ListDistanceSeries(int reach) {
  std::vector<int> series;
  if (reach < 1) return series;
  const int last = ListDistance(reach);
  for (int n = 1; n <= 10 && n <= last; ++n) series.push_back(n);
  std::int64_t n = 10;
  std::int64_t step = 2;
  while (true) {
    n += step;
    ++step;
    if (n > last) break;
    series.push_back(static_cast<int>(n));
  }
  return series;
}

}  // namespace launcher
