// The launcher window on a screen of any pixel density. The skin, the layout
// and the fonts are made for 96 dots per inch; at another density every
// edge of the window's layout moves to ScaleLength(edge, dpi), and each skin
// pixel becomes the block of screen pixels between its scaled edges
// (nearest neighbour). So the scaled shape, the scaled images and the
// scaled rectangles of the bars and text lines share every edge.
//
// Pure computation, no window-system types; safe on any thread.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "ui/skin_region.h"
#include "ui/window_layout.h"

namespace launcher {

// The density the skin and the layout are drawn for (100 %).
inline constexpr int kBaseDpi = 96;
// Densities outside this range are taken as its nearest end: the window is
// never drawn smaller than its skin (a density below 100 % would drop skin
// pixels and shrink the text below its design size), and never above 1000 %.
inline constexpr int kMinDpi = kBaseDpi;
inline constexpr int kMaxDpi = 960;

// A density a window can use: `dpi` clamped to kMinDpi..kMaxDpi; an unknown
// density (0 or below, a failed query) is kBaseDpi.
int UsableDpi(int dpi);

// v x dpi / 96, rounded to the nearest integer, halves away from zero (as
// the system's MulDiv rounds). Strictly increasing in v for dpi >= 96.
constexpr int ScaleLength(int v, int dpi) {
  const long long p = static_cast<long long>(v) * dpi;
  return static_cast<int>(p >= 0 ? (p + kBaseDpi / 2) / kBaseDpi
                                 : -((-p + kBaseDpi / 2) / kBaseDpi));
}

// A rectangle of the layout with each edge scaled.
constexpr layout::Rect ScaleRect(const layout::Rect& r, int dpi) {
  return {ScaleLength(r.left, dpi), ScaleLength(r.top, dpi), ScaleLength(r.right, dpi),
          ScaleLength(r.bottom, dpi)};
}

// Filled screen pixels of a bar at `percent`: the scaled width of its
// BarFillWidth skin pixels, counted from the bar's scaled left edge.
constexpr int ScaledBarFillWidth(int percent, int dpi) {
  return ScaleLength(layout::kBarLeft + layout::BarFillWidth(percent), dpi) -
         ScaleLength(layout::kBarLeft, dpi);
}

// The region of a skin scaled like its pixels: each rectangle's edges
// scaled. Keeps the banded order of CreateRegionFromBitmap's result.
std::vector<RegionRect> ScaleRegion(std::span<const RegionRect> rects, int dpi);

// An image of 0x00RRGGBB pixels, top row first, `width` pixels per row.
struct PixelImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;
};

// `image` scaled by nearest neighbour as it sits in the window with its
// top-left corner at (originX, originY) of the layout: its pixel (x, y)
// covers the screen pixels from the scaled edges of originX + x to those of
// originX + x + 1 (and likewise for y), less the scaled origin. An image
// placed at different points may scale to different sizes at fractional
// densities. Empty for an empty or inconsistent image.
PixelImage ScaleImageNearest(const PixelImage& image, int dpi, int originX = 0, int originY = 0);

}  // namespace launcher
