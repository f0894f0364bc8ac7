// Drawing of the launcher window: the skin (or a plain background without
// one), the two text lines and the two progress bars at their fixed places.
// Coordinates are the layout's; at a device pixel ratio above 1 the images
// come from a DeviceSkin and land pixel for pixel on the device, and the
// text is drawn at the device's resolution.
// Window thread only; every function draws with the painter it is given and
// keeps the painter's state as it found it.
#pragma once

#include <QFont>
#include <QPainter>
#include <QRegion>
#include <string>

#include "ui/qt/device_skin.h"
#include "ui/qt/skin.h"
#include "ui/status_state.h"
#include "ui/window_layout.h"

namespace launcher {

// The font of both text lines: a cell height of 13 pixels, the face "宋体"
// where it exists and otherwise a face that covers Chinese text.
QFont MakeStatusFont();

// The skin (`device`, built for the painter's ratio), or a plain panel with
// a close mark when there is none.
void PaintBackground(QPainter& painter, const SkinImages& images, const DeviceSkin& device,
                     const QRect& area);

// One text line: single line, left and top aligned, cut at the rectangle's
// edges (the device pixels of the rectangle at `ratio`) without ellipsis;
// "&" underlines the next character and "&&" draws one ampersand.
void PaintTextLine(QPainter& painter, const QFont& font, const layout::Rect& rect,
                   const std::u16string& text, qreal ratio = 1);

// One bar: the first BarFillWidth(percent) pixels from the left end of
// `fill`, the rest from `track` at the same offset, scaled to `ratio`. A null
// image leaves its part undrawn.
void PaintBar(QPainter& painter, const layout::Rect& bar, int percent, const QImage& fill,
              const QImage& track, qreal ratio = 1);

// Everything, in the window's order: background, upper and lower text line,
// lower and upper bar, at the ratio `device` was built for. Only what
// intersects `area` is touched.
void PaintWindow(QPainter& painter, const SkinImages& images, const DeviceSkin& device,
                 const QFont& statusFont, const QFont& detailFont,
                 const StatusState::Values& values, const QRect& area);

// The window rectangle of an item of StatusState.
QRect ItemRect(StatusState::Item item);
// What to repaint when the item changes: its rectangle and a pixel around
// it, so that the device pixels at its edges are covered at any ratio.
QRect ItemRepaintRect(StatusState::Item item);

}  // namespace launcher
