#include "ui/qt/skin.h"

#include <QRect>
#include <cstdint>
#include <span>
#include <vector>

#include "ui/skin_region.h"
#include "ui/window_layout.h"

namespace launcher {
namespace {

QImage LoadBarImage(const char* resource) {
  QImage image(QString::fromLatin1(resource));
  if (image.isNull()) return image;
  return image.convertToFormat(QImage::Format_RGB32);
}

}  // namespace

QSize SkinImages::WindowSize() const {
  if (HasSkin()) return skin.size();
  return {layout::kDefaultWidth, layout::kDefaultHeight};
}

QRegion ShapeFromImage(const QImage& image) {
  if (image.isNull()) return {};
  const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
  const auto stride = static_cast<std::size_t>(rgb.bytesPerLine()) / sizeof(std::uint32_t);
  const std::span<const std::uint32_t> pixels(
      reinterpret_cast<const std::uint32_t*>(rgb.constBits()),
      static_cast<std::size_t>(rgb.sizeInBytes()) / sizeof(std::uint32_t));
  const std::vector<RegionRect> rects = CreateRegionFromBitmap(
      rgb.width(), rgb.height(), pixels, stride, layout::kSkinKeyColour, RegionMode::kOpaque);
  std::vector<QRect> qrects;
  qrects.reserve(rects.size());
  for (const RegionRect& r : rects)
    qrects.emplace_back(r.left, r.top, r.right - r.left, r.bottom - r.top);
  QRegion region;
  // The rectangles come in the banded, sorted order setRects expects.
  region.setRects(qrects.data(), static_cast<int>(qrects.size()));
  return region;
}

SkinImages LoadSkinImages(const QString& skinPath) {
  SkinImages images;
  // A skin that cannot be read is not reported anywhere: the error log is
  // for failed moves and copies, and the window is plain and usable anyway.
  QImage skin(skinPath);
  if (!skin.isNull() && skin.width() > 0 && skin.height() > 0) {
    images.skin = skin.convertToFormat(QImage::Format_RGB32);
    images.shape = ShapeFromImage(images.skin);
  }
  images.track = LoadBarImage(":/launcher/images/bar_track.png");
  images.totalFill = LoadBarImage(":/launcher/images/bar_total.png");
  images.fileFill = LoadBarImage(":/launcher/images/bar_file.png");
  return images;
}

}  // namespace launcher
