// The Qt window's view of the one scaling rule of ui/dpi_scale.h: a device
// pixel ratio f (1.25, 1.5, 2, ...) stands for the density f x 96 dots per
// inch, and every edge of the layout falls on ScaleLength(edge, density),
// exactly as in the Win32 window, so both draw the same pixels at the same
// places at every factor, fractional ones included.
//
// Nearest neighbour: each layout pixel becomes the block of device pixels
// between its scaled edges. Every image (skin, bars) and the window's shape
// are scaled by this one rule, so their edges fall on the same device
// pixels; the shape, built from the scaled skin, can then never show a
// key-coloured pixel nor cut an opaque one. Smooth filtering would mix the
// key colour into the skin's edge, which a one-bit shape cannot hide, and
// would blur the bars' one-pixel steps; text is drawn at the device
// resolution and stays sharp either way.
//
// Pure arithmetic, no toolkit; any thread.
#pragma once

#include <vector>

namespace launcher {

class PixelScale {
 public:
  // The density of `factor`, as UsableDpi takes it (never below 100 %).
  explicit PixelScale(double factor);

  int dpi() const { return dpi_; }

  // The layout pixel whose block holds device pixel `device`.
  int LayoutOf(int device) const;
  // Where layout edge `layout` falls: the first device pixel of its block.
  int DeviceEdge(int layout) const;
  // The device size of a layout size (from the layout's origin).
  int DeviceSize(int layout) const { return DeviceEdge(layout); }
  // LayoutOf for device pixels first .. first + count - 1, clamped to
  // 0 .. layoutSize - 1.
  std::vector<int> LayoutRun(int first, int count, int layoutSize) const;

 private:
  int dpi_;
};

}  // namespace launcher
