#include "ui/pixel_scale.h"

#include <algorithm>
#include <cmath>

namespace launcher {

PixelScale::PixelScale(double factor) : factor_(std::max(factor, 1.0 / 16)) {}

int PixelScale::LayoutOf(int device) const {
  return static_cast<int>(std::floor((device + 0.5) / factor_));
}

int PixelScale::DeviceEdge(int layout) const {
  // The closed form, then settled against LayoutOf so that rounding in the
  // floating-point arithmetic can never make the two disagree.
  int edge = static_cast<int>(std::ceil(layout * factor_ - 0.5));
  while (LayoutOf(edge - 1) >= layout) --edge;
  while (LayoutOf(edge) < layout) ++edge;
  return edge;
}

int PixelScale::DeviceSize(int layout) const {
  return static_cast<int>(std::lround(layout * factor_));
}

std::vector<int> PixelScale::LayoutRun(int first, int count, int layoutSize) const {
  std::vector<int> run(static_cast<std::size_t>(std::max(count, 0)));
  for (int i = 0; i < count; ++i)
    run[static_cast<std::size_t>(i)] = std::clamp(LayoutOf(first + i), 0, layoutSize - 1);
  return run;
}

}  // namespace launcher
