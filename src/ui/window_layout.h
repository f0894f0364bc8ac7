// The fixed layout of the launcher window, in window pixels (which equal skin
// pixels: the window has no frame). Every skin is drawn for this layout; its
// own size only sets the window size. Rectangles have exclusive right and
// bottom edges unless said otherwise. Constants and pure functions only.
#pragma once

#include <algorithm>
#include <cstdint>

namespace launcher::layout {

struct Rect {
  int left;
  int top;
  int right;
  int bottom;
  constexpr int width() const { return right - left; }
  constexpr int height() const { return bottom - top; }
  constexpr bool Contains(int x, int y) const {
    return x >= left && x < right && y >= top && y < bottom;
  }
};

// A release here closes the window; everywhere else the window is dragged.
// The spot is x 194..212 and y 24..41, both inclusive.
inline constexpr Rect kCloseSpot{194, 24, 213, 42};

inline constexpr int kBarLeft = 47;
inline constexpr int kBarWidth = 140;
inline constexpr int kBarHeight = 10;
inline constexpr Rect kTotalBar{kBarLeft, 119, kBarLeft + kBarWidth, 119 + kBarHeight};
inline constexpr Rect kFileBar{kBarLeft, 132, kBarLeft + kBarWidth, 132 + kBarHeight};
inline constexpr Rect kStatusLine{47, 154, 187, 168};
inline constexpr Rect kDetailLine{47, 169, 187, 183};

// Text colour of both lines.
inline constexpr std::uint8_t kTextRed = 250;
inline constexpr std::uint8_t kTextGreen = 232;
inline constexpr std::uint8_t kTextBlue = 162;
// Cell height (ascent + descent) of both fonts, in pixels.
inline constexpr int kFontPixelSize = 13;

// Key colour of the skin: these pixels are outside the window's shape.
inline constexpr std::uint32_t kSkinKeyColour = 0xFF00FF;

// Size of the plain window shown when the skin cannot be loaded: large enough
// for the close spot, both bars and both text lines.
inline constexpr int kDefaultWidth = 230;
inline constexpr int kDefaultHeight = 200;

// Filled pixels of a bar: percent x 140 / 100, truncated. Values outside
// 0..100 are clamped so that nothing outside the bar is drawn and no bar
// image is read outside its bounds.
constexpr int BarFillWidth(int percent) { return std::clamp(percent, 0, 100) * kBarWidth / 100; }

// Top-left corner that centres a width x height window on a screen whose
// rectangle is [left, right) x [top, bottom). The screen's own origin is
// added back, so a screen that does not start at 0,0 still gets the window
// in its middle. Divisions truncate towards zero.
struct Point {
  int x;
  int y;
};
constexpr Point CentredOrigin(int left, int top, int right, int bottom, int width, int height) {
  return {left + (right - left - width) / 2, top + (bottom - top - height) / 2};
}

}  // namespace launcher::layout
