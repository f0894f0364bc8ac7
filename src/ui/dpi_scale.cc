#include "ui/dpi_scale.h"

#include <algorithm>
#include <cstddef>

namespace launcher {
namespace {

// For each scaled coordinate, the source coordinate whose block holds it:
// source c covers [S(origin + c) - S(origin), S(origin + c + 1) - S(origin)).
std::vector<int> SourceIndex(int length, int origin, int dpi) {
  const int start = ScaleLength(origin, dpi);
  std::vector<int> index(static_cast<std::size_t>(ScaleLength(origin + length, dpi) - start));
  for (int c = 0; c < length; ++c) {
    const int from = ScaleLength(origin + c, dpi) - start;
    const int to = ScaleLength(origin + c + 1, dpi) - start;
    std::fill(index.begin() + from, index.begin() + to, c);
  }
  return index;
}

}  // namespace

int UsableDpi(int dpi) { return dpi <= 0 ? kBaseDpi : std::clamp(dpi, kMinDpi, kMaxDpi); }

std::vector<RegionRect> ScaleRegion(std::span<const RegionRect> rects, int dpi) {
  std::vector<RegionRect> out;
  out.reserve(rects.size());
  for (const RegionRect& r : rects) {
    out.push_back({ScaleLength(r.left, dpi), ScaleLength(r.top, dpi), ScaleLength(r.right, dpi),
                   ScaleLength(r.bottom, dpi)});
  }
  return out;
}

PixelImage ScaleImageNearest(const PixelImage& image, int dpi, int originX, int originY) {
  if (image.width <= 0 || image.height <= 0 ||
      image.pixels.size() !=
          static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height)) {
    return {};
  }
  const std::vector<int> columns = SourceIndex(image.width, originX, dpi);
  const std::vector<int> rows = SourceIndex(image.height, originY, dpi);
  PixelImage out;
  out.width = static_cast<int>(columns.size());
  out.height = static_cast<int>(rows.size());
  out.pixels.reserve(columns.size() * rows.size());
  for (const int sy : rows) {
    const std::uint32_t* row =
        image.pixels.data() + static_cast<std::size_t>(sy) * static_cast<std::size_t>(image.width);
    for (const int sx : columns) out.pixels.push_back(row[sx]);
  }
  return out;
}

}  // namespace launcher
