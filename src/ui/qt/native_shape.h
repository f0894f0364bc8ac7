// The window's shape in device pixels, given straight to the X server.
//
// Qt takes a widget's mask in layout pixels and scales each of its
// rectangles to the device with its own rounding, which at a fractional
// ratio can put an edge one device pixel away from where the scaled skin
// has it. On X11 the launcher therefore sets the bounding shape itself,
// from the region built from the scaled skin (ui/qt/device_skin.h), over
// Qt's own connection.
//
// GUI thread only.
#pragma once

#include <QRegion>
#include <QWidget>

namespace launcher {

// Makes `deviceShape` the X11 bounding shape of `window`, which must have
// its native window. False, and nothing done, off X11 (or in a build
// without the X Shape extension).
bool SetNativeShape(QWidget& window, const QRegion& deviceShape);

}  // namespace launcher
