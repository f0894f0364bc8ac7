// The window shape built from the skin bitmap: the union of one-row runs of
// pixels that are (or are not) the transparency key colour.
//
// Pure computation over a 32-bit pixel buffer; no window-system types, so the
// engine-free tests can check it and any toolkit can turn the rectangles into
// its own region type. Safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace launcher {

// A rectangle with exclusive right and bottom edges.
struct RegionRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  friend bool operator==(const RegionRect&, const RegionRect&) = default;
};

// What happened while a region was built; lets tests see the record growth
// and the flushes without looking at the result alone.
struct RegionBuildStats {
  int runs = 0;               // row runs found
  int flushes = 0;            // records turned into regions (the final one included)
  int maxRecordCapacity = 0;  // largest rectangle capacity the record reached
};

// Which pixels form the region.
enum class RegionMode : int {
  kKeyColour = 0,  // pixels whose colour equals the key
  kOpaque = 1,     // pixels whose colour differs from the key
};

// Runs are collected into a record of rectangles that grows by this many
// entries at a time...
inline constexpr int kRegionRecordGrowth = 100;
// ...and is turned into a region and joined into the result every time it
// holds this many.
inline constexpr int kRegionFlushRuns = 2000;

// Builds the region of a width x height image. `pixels` holds the image top
// row first, `stride` pixels per row (stride >= width), each pixel as
// 0x??RRGGBB (the top byte is ignored). `keyColour` is 0xRRGGBB; colours match
// exactly, with no tolerance. The result is in canonical banded form: sorted
// by top, then left; rectangles of one band share top and bottom; vertically
// adjacent rows with identical runs are merged into one band. Returns an empty
// vector for an empty region, a non-positive size, or a buffer too small for
// the image.
std::vector<RegionRect> CreateRegionFromBitmap(int width, int height,
                                               std::span<const std::uint32_t> pixels,
                                               std::size_t stride, std::uint32_t keyColour,
                                               RegionMode mode, RegionBuildStats* stats = nullptr);

}  // namespace launcher
