#include "ui/qt/native_shape.h"

#include <QGuiApplication>
#include <vector>

#if LAUNCHER_HAVE_XSHAPE
// Xlib's macros clash with Qt's names: after every Qt header.
#include <X11/Xlib.h>
#include <X11/extensions/shape.h>
#endif

namespace launcher {

bool SetNativeShape(QWidget& window, const QRegion& deviceShape) {
#if LAUNCHER_HAVE_XSHAPE
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) return false;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  Display* display = x11 != nullptr ? x11->display() : nullptr;
  if (display == nullptr) return false;
  std::vector<XRectangle> rects;
  rects.reserve(static_cast<std::size_t>(deviceShape.rectCount()));
  for (const QRect& r : deviceShape) {
    rects.push_back({static_cast<short>(r.x()), static_cast<short>(r.y()),
                     static_cast<unsigned short>(r.width()),
                     static_cast<unsigned short>(r.height())});
  }
  // An empty list sets an empty shape: an all-key skin shows nothing.
  XShapeCombineRectangles(display, static_cast<Window>(window.winId()), ShapeBounding, 0, 0,
                          rects.data(), static_cast<int>(rects.size()), ShapeSet, YXBanded);
  XFlush(display);
  return true;
#else
  (void)window;
  (void)deviceShape;
  return false;
#endif
}

}  // namespace launcher
