#include "ui/qt/device_skin.h"

#include <QPainter>
#include <vector>

namespace launcher {
namespace {

constexpr QRgb kKey = 0xFF000000u | layout::kSkinKeyColour;

// `source` scaled so that device pixel (x, y) of the result, counted from
// `origin` in the window, shows the layout pixel under its centre, taken
// relative to `layoutOrigin` in `source`.
QImage ScaleNearest(const QImage& source, const QPoint& layoutOrigin, const QRect& device,
                    const PixelScale& scale) {
  QImage out(device.size(), QImage::Format_ARGB32_Premultiplied);
  const std::vector<int> columns =
      scale.LayoutRun(device.left(), device.width(), layoutOrigin.x() + source.width());
  const std::vector<int> rows =
      scale.LayoutRun(device.top(), device.height(), layoutOrigin.y() + source.height());
  for (int y = 0; y < device.height(); ++y) {
    const int sy = rows[static_cast<std::size_t>(y)] - layoutOrigin.y();
    const auto* in = reinterpret_cast<const QRgb*>(source.constScanLine(std::max(sy, 0)));
    auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < device.width(); ++x)
      line[x] = in[std::max(columns[static_cast<std::size_t>(x)] - layoutOrigin.x(), 0)];
  }
  return out;
}

}  // namespace

DeviceSkin BuildDeviceSkin(const SkinImages& images, qreal ratio, bool keyTransparent) {
  DeviceSkin device;
  device.ratio = ratio;
  if (!images.HasSkin()) return device;
  const PixelScale scale(ratio);
  const QImage rgb = images.skin.convertToFormat(QImage::Format_RGB32);
  const QRect area(0, 0, scale.DeviceSize(rgb.width()), scale.DeviceSize(rgb.height()));
  QImage scaled = ScaleNearest(rgb, QPoint(0, 0), area, scale);
  // The shape comes from the scaled image itself, so the two agree on every
  // device pixel.
  device.shape = ShapeFromImage(scaled);
  // Key pixels become transparent: where the window system composes by
  // alpha (Wayland) they show what is behind, as the shape does on X11.
  for (int y = 0; keyTransparent && y < scaled.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(scaled.scanLine(y));
    for (int x = 0; x < scaled.width(); ++x)
      line[x] = (line[x] | 0xFF000000u) == kKey ? 0u : (line[x] | 0xFF000000u);
  }
  scaled.setDevicePixelRatio(ratio);
  device.skin = std::move(scaled);
  return device;
}

QRect DeviceRect(const layout::Rect& rect, qreal ratio) {
  const PixelScale scale(ratio);
  const int left = scale.DeviceEdge(rect.left);
  const int top = scale.DeviceEdge(rect.top);
  return {left, top, scale.DeviceEdge(rect.right) - left, scale.DeviceEdge(rect.bottom) - top};
}

QRectF LayoutRectOfDevice(const layout::Rect& rect, qreal ratio) {
  const QRect d = DeviceRect(rect, ratio);
  return {d.left() / ratio, d.top() / ratio, d.width() / ratio, d.height() / ratio};
}

QImage DeviceBar(const layout::Rect& bar, int percent, const QImage& fill, const QImage& track,
                 qreal ratio) {
  const int w = layout::BarFillWidth(percent);
  QImage composed(layout::kBarWidth, layout::kBarHeight, QImage::Format_ARGB32_Premultiplied);
  composed.fill(Qt::transparent);
  {
    QPainter p(&composed);
    if (!track.isNull() && w < layout::kBarWidth)
      p.drawImage(QPoint(w, 0), track, QRect(w, 0, layout::kBarWidth - w, layout::kBarHeight));
    if (!fill.isNull() && w > 0)
      p.drawImage(QPoint(0, 0), fill, QRect(0, 0, w, layout::kBarHeight));
  }
  QImage out =
      ScaleNearest(composed, QPoint(bar.left, bar.top), DeviceRect(bar, ratio), PixelScale(ratio));
  out.setDevicePixelRatio(ratio);
  return out;
}

}  // namespace launcher
