// The window's images in device pixels, at the device pixel ratio of the
// screen the window is on, scaled by the one rule of ui/pixel_scale.h: the
// skin (its key colour made transparent where the window system composes
// windows by alpha), the shape built from that very image, and the bars composed at their layout
// size and scaled the same way. Every image carries the device pixel ratio, so a painter on the
// window draws it pixel for pixel at its layout position.
//
// Built on the window thread when the window first paints and again when
// its ratio changes; read-only in between.
#pragma once

#include <QImage>
#include <QRect>
#include <QRegion>

#include "ui/pixel_scale.h"
#include "ui/qt/skin.h"
#include "ui/window_layout.h"

namespace launcher {

struct DeviceSkin {
  qreal ratio = 0;  // 0: not built yet
  QImage skin;      // null without a skin
  QRegion shape;    // in device pixels; empty without a skin
};

// Scales `images.skin` to `ratio` and builds its shape. With `keyTransparent`
// the key-coloured pixels of the image become transparent; otherwise they
// keep their colour (a shaped X11 window never shows them).
DeviceSkin BuildDeviceSkin(const SkinImages& images, qreal ratio, bool keyTransparent);

// The device pixels of a layout rectangle at `ratio`.
QRect DeviceRect(const layout::Rect& rect, qreal ratio);
// The same rectangle in the painter's layout coordinates, so that a clip or
// a fill set with it covers exactly those device pixels.
QRectF LayoutRectOfDevice(const layout::Rect& rect, qreal ratio);

// One bar at `ratio`: BarFillWidth(percent) layout pixels from the left end
// of `fill`, the rest from `track` at the same offset, scaled to the bar's
// device rectangle. A null image leaves its part transparent.
QImage DeviceBar(const layout::Rect& bar, int percent, const QImage& fill, const QImage& track,
                 qreal ratio);

}  // namespace launcher
