#include "ui/pixel_scale.h"

#include <algorithm>
#include <cmath>

#include "ui/dpi_scale.h"

namespace launcher {

PixelScale::PixelScale(double factor)
    : dpi_(UsableDpi(static_cast<int>(std::lround(factor * kBaseDpi)))) {}

int PixelScale::DeviceEdge(int layout) const { return ScaleLength(layout, dpi_); }

int PixelScale::LayoutOf(int device) const {
  // The closed form, then settled against the edges, which increase with
  // the layout coordinate.
  int layout = static_cast<int>((static_cast<long long>(device) * kBaseDpi) / dpi_);
  while (layout > 0 && DeviceEdge(layout) > device) --layout;
  while (DeviceEdge(layout + 1) <= device) ++layout;
  return layout;
}

std::vector<int> PixelScale::LayoutRun(int first, int count, int layoutSize) const {
  std::vector<int> run(static_cast<std::size_t>(std::max(count, 0)));
  for (int i = 0; i < count; ++i)
    run[static_cast<std::size_t>(i)] = std::clamp(LayoutOf(first + i), 0, layoutSize - 1);
  return run;
}

}  // namespace launcher
