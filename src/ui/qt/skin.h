// The window's images: the skin from "launcher.bmp" (the installation's file)
// and the three bar images built into the program, plus the shape derived
// from the skin. Loaded once on the window thread; read-only afterwards and
// owned by the window for its whole life.
#pragma once

#include <QImage>
#include <QRegion>
#include <QSize>
#include <QString>

namespace launcher {

struct SkinImages {
  QImage skin;       // null when "launcher.bmp" could not be loaded
  QRegion shape;     // the skin's opaque part; empty when there is no skin
  QImage track;      // empty bar, 140 x 10
  QImage totalFill;  // filled upper bar
  QImage fileFill;   // filled lower bar

  bool HasSkin() const { return !skin.isNull(); }
  // The window size: the skin's, or the plain default without a skin.
  QSize WindowSize() const;
};

// Loads the skin from `skinPath` and the bar images from the program's
// resources. A skin that cannot be read leaves `skin` null (the window is
// then plain) and is reported nowhere. A missing bar image stays null (its
// part of the bar is not drawn).
SkinImages LoadSkinImages(const QString& skinPath);

// The region of every pixel of `image` that is not the key colour magenta,
// as the window system's shape. Empty for a null image.
QRegion ShapeFromImage(const QImage& image);

}  // namespace launcher
