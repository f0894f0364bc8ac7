#include "ui/qt/skin.h"

#include <QFileInfo>
#include <QRect>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "files/log.h"
#include "files/paths.h"
#include "files/utf16.h"
#include "files/utf16_text.h"
#include "ui/skin_region.h"
#include "ui/window_layout.h"

namespace launcher {
namespace {

QImage LoadBarImage(const char* resource) {
  QImage image(QString::fromLatin1(resource));
  if (image.isNull()) return image;
  return image.convertToFormat(QImage::Format_RGB32);
}

// The error log belongs to the worker, but the skin is loaded before the
// worker starts, so this one line cannot interleave with its writes.
void LogSkinFailure(const QString& skinPath) {
  const std::u16string path = ErrorLogPath;
  std::error_code ec;
  if (!std::filesystem::exists(ToPath(path), ec)) {
    CreateUtf16File(path);
  }
  const QString line = QStringLiteral(" cannot load the skin \"%1\"; showing a plain window\r\n")
                           .arg(QFileInfo(skinPath).fileName());
  std::u16string text = LogTimeStamp();
  text.append(reinterpret_cast<const char16_t*>(line.utf16()),
              static_cast<std::size_t>(line.size()));
  AppendUtf16(path, text);
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
  QImage skin(skinPath);
  if (skin.isNull() || skin.width() <= 0 || skin.height() <= 0) {
    LogSkinFailure(skinPath);
  } else {
    images.skin = skin.convertToFormat(QImage::Format_RGB32);
    images.shape = ShapeFromImage(images.skin);
  }
  images.track = LoadBarImage(":/launcher/images/bar_track.png");
  images.totalFill = LoadBarImage(":/launcher/images/bar_total.png");
  images.fileFill = LoadBarImage(":/launcher/images/bar_file.png");
  return images;
}

}  // namespace launcher
