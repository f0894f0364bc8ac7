// How the window's fixed layout maps onto device pixels at a scale factor
// (the device pixel ratio of a high-DPI screen: 1.25, 1.5, 2, ...).
//
// Nearest neighbour: device pixel p shows layout pixel floor((p + 0.5) / f),
// the one under its centre. Every image (skin, bars) and the window's shape
// are scaled by this one rule, so their edges fall on the same device pixels
// at every factor, fractional ones included; the shape, built from the
// scaled skin, can then never show a key-coloured pixel nor cut an opaque
// one. Smooth filtering would mix the key colour into the skin's edge,
// which a one-bit shape cannot hide, and would blur the bars' one-pixel
// steps; text is drawn at the device resolution and stays sharp either way.
//
// Pure arithmetic, no toolkit; any thread.
#pragma once

#include <vector>

namespace launcher {

class PixelScale {
 public:
  // `factor` is clamped to at least 1/16.
  explicit PixelScale(double factor);

  double factor() const { return factor_; }
  bool IsIdentity() const { return factor_ == 1.0; }

  // The layout pixel that device pixel `device` shows.
  int LayoutOf(int device) const;
  // The first device pixel that shows layout pixel `layout` or a later one:
  // where a layout edge falls.
  int DeviceEdge(int layout) const;
  // The device size of a layout size, rounded as Qt sizes a window.
  int DeviceSize(int layout) const;
  // LayoutOf for device pixels first .. first + count - 1, clamped to
  // 0 .. layoutSize - 1 (the last device pixels of a rounded-up size).
  std::vector<int> LayoutRun(int first, int count, int layoutSize) const;

 private:
  double factor_;
};

}  // namespace launcher
