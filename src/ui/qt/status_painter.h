// Drawing of the launcher window: the skin (or a plain background without
// one), the two text lines and the two progress bars at their fixed places.
// Window thread only; every function draws with the painter it is given and
// keeps the painter's state as it found it.
#pragma once

#include <QFont>
#include <QPainter>
#include <QRegion>
#include <string>

#include "ui/qt/skin.h"
#include "ui/status_state.h"
#include "ui/window_layout.h"

namespace launcher {

// The font of both text lines: a cell height of 13 pixels, the face "宋体"
// where it exists and otherwise a face that covers Chinese text.
QFont MakeStatusFont();

// The skin, or a plain panel with a close mark when there is none.
void PaintBackground(QPainter& painter, const SkinImages& images, const QRect& area);

// One text line: single line, left and top aligned, cut at the rectangle's
// edges without ellipsis; "&" underlines the next character and "&&" draws
// one ampersand.
void PaintTextLine(QPainter& painter, const QFont& font, const layout::Rect& rect,
                   const std::u16string& text);

// One bar: the first BarFillWidth(percent) pixels from the left end of
// `fill`, the rest from `track` at the same offset. A null image leaves its
// part undrawn.
void PaintBar(QPainter& painter, const layout::Rect& bar, int percent, const QImage& fill,
              const QImage& track);

// Everything, in the window's order: background, upper and lower text line,
// lower and upper bar. Only what intersects `area` is touched.
void PaintWindow(QPainter& painter, const SkinImages& images, const QFont& statusFont,
                 const QFont& detailFont, const StatusState::Values& values, const QRect& area);

// The window rectangle of an item of StatusState.
QRect ItemRect(StatusState::Item item);

}  // namespace launcher
