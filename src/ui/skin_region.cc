#include "ui/skin_region.h"

#include <algorithm>

namespace launcher {
namespace {

struct Span {
  int left;
  int right;
  friend bool operator==(const Span&, const Span&) = default;
};

// The accumulated region, kept as the sorted, disjoint spans of every row.
// Joining a record into it is a union: overlapping or touching spans merge,
// so the result does not depend on where the records were cut.
class RowRegion {
 public:
  explicit RowRegion(int height) : rows_(static_cast<std::size_t>(height)) {}

  void Unite(const std::vector<RegionRect>& rects) {
    for (const RegionRect& r : rects) {
      for (int y = r.top; y < r.bottom; ++y)
        Insert(rows_[static_cast<std::size_t>(y)], {r.left, r.right});
    }
  }

  // Rows with identical spans that follow each other become one band.
  std::vector<RegionRect> ToBands() const {
    std::vector<RegionRect> out;
    std::size_t y = 0;
    while (y < rows_.size()) {
      std::size_t end = y + 1;
      while (end < rows_.size() && rows_[end] == rows_[y]) ++end;
      for (const Span& s : rows_[y]) {
        out.push_back({s.left, static_cast<int>(y), s.right, static_cast<int>(end)});
      }
      y = end;
    }
    return out;
  }

 private:
  static void Insert(std::vector<Span>& row, Span add) {
    auto it = std::lower_bound(row.begin(), row.end(), add,
                               [](const Span& a, const Span& b) { return a.right < b.left; });
    // `it` is the first span that touches or follows `add`; swallow every
    // span that touches it.
    auto last = it;
    while (last != row.end() && last->left <= add.right) {
      add.left = std::min(add.left, last->left);
      add.right = std::max(add.right, last->right);
      ++last;
    }
    it = row.erase(it, last);
    row.insert(it, add);
  }

  std::vector<std::vector<Span>> rows_;
};

// The record of rectangles not yet joined into the region. Its capacity grows
// in fixed steps rather than doubling, so a skin with few runs stays small.
class RunRecord {
 public:
  RunRecord() { Grow(); }

  void Add(const RegionRect& r) {
    if (static_cast<int>(rects_.size()) == capacity_) Grow();
    rects_.push_back(r);
  }
  int size() const { return static_cast<int>(rects_.size()); }
  int capacity() const { return capacity_; }
  const std::vector<RegionRect>& rects() const { return rects_; }
  void Clear() { rects_.clear(); }

 private:
  void Grow() {
    capacity_ += kRegionRecordGrowth;
    rects_.reserve(static_cast<std::size_t>(capacity_));
  }

  std::vector<RegionRect> rects_;
  int capacity_ = 0;
};

}  // namespace

std::vector<RegionRect> CreateRegionFromBitmap(int width, int height,
                                               std::span<const std::uint32_t> pixels,
                                               std::size_t stride, std::uint32_t keyColour,
                                               RegionMode mode, RegionBuildStats* stats) {
  RegionBuildStats local;
  RegionBuildStats& st = stats != nullptr ? *stats : local;
  st = {};
  if (width <= 0 || height <= 0 || stride < static_cast<std::size_t>(width)) return {};
  const auto w = static_cast<std::size_t>(width);
  const auto h = static_cast<std::size_t>(height);
  // The last row only needs `width` pixels, not a full stride.
  if (pixels.size() < (h - 1) * stride + w) return {};

  const std::uint32_t key = keyColour & 0xFFFFFFu;
  const bool wantKey = mode == RegionMode::kKeyColour;
  auto inRegion = [&](std::uint32_t px) { return ((px & 0xFFFFFFu) == key) == wantKey; };

  RowRegion region(height);
  RunRecord record;
  auto flush = [&] {
    region.Unite(record.rects());
    record.Clear();
    ++st.flushes;
  };

  for (int y = 0; y < height; ++y) {
    const std::uint32_t* row = pixels.data() + static_cast<std::size_t>(y) * stride;
    int x = 0;
    while (x < width) {
      const int x0 = x;
      while (x < width && inRegion(row[x])) ++x;
      if (x > x0) {
        record.Add({x0, y, x, y + 1});
        ++st.runs;
        st.maxRecordCapacity = std::max(st.maxRecordCapacity, record.capacity());
        if (record.size() == kRegionFlushRuns) flush();
      }
      ++x;  // the pixel that ended the run is outside the region
    }
  }
  flush();
  return region.ToBands();
}

}  // namespace launcher
