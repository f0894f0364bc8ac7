#include "ui/qt/status_painter.h"

#include <QColor>
#include <QFontMetrics>
#include <QPen>
#include <QStringList>

namespace launcher {
namespace {

constexpr int kSmallestFontPixelSize = 8;

QRect ToQRect(const layout::Rect& r) { return {r.left, r.top, r.width(), r.height()}; }

QString ToQString(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

// Without a skin the window still has to show where to click to close it.
void PaintPlainPanel(QPainter& painter, const QRect& bounds) {
  painter.fillRect(bounds, QColor(24, 30, 56));
  painter.setPen(QPen(QColor(226, 190, 110), 1));
  painter.drawRect(bounds.adjusted(0, 0, -1, -1));
  const QRect spot = ToQRect(layout::kCloseSpot);
  painter.fillRect(spot, QColor(120, 30, 28));
  painter.setPen(QPen(QColor(layout::kTextRed, layout::kTextGreen, layout::kTextBlue), 2));
  painter.drawLine(spot.topLeft() + QPoint(5, 5), spot.bottomRight() - QPoint(5, 5));
  painter.drawLine(spot.topRight() + QPoint(-5, 5), spot.bottomLeft() + QPoint(5, -5));
}

}  // namespace

QFont MakeStatusFont() {
  QFont font;
  font.setFamilies({QString::fromUtf16(u"宋体"), QStringLiteral("SimSun"),
                    QStringLiteral("NSimSun"), QStringLiteral("WenQuanYi Micro Hei"),
                    QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Droid Sans Fallback")});
  font.setWeight(QFont::Normal);
  // The size is a cell height: ascent plus descent. Faces with a tall cell
  // for their em size (most fallbacks for "宋体") are taken a size smaller
  // until the cell fits, so the underline of a mnemonic stays inside the
  // 14-pixel line.
  for (int px = layout::kFontPixelSize; px >= kSmallestFontPixelSize; --px) {
    font.setPixelSize(px);
    if (QFontMetrics(font).height() <= layout::kFontPixelSize) break;
  }
  return font;
}

void PaintBackground(QPainter& painter, const SkinImages& images, const DeviceSkin& device,
                     const QRect& area) {
  if (!device.skin.isNull()) {
    // The whole image, pixel for pixel, transparent pixels included; the
    // painter's clip keeps the drawing to what needs it.
    painter.save();
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(QPointF(0, 0), device.skin);
    painter.restore();
    return;
  }
  painter.save();
  painter.setClipRect(area, Qt::IntersectClip);
  PaintPlainPanel(painter, QRect(QPoint(0, 0), images.WindowSize()));
  painter.restore();
}

void PaintTextLine(QPainter& painter, const QFont& font, const layout::Rect& rect,
                   const std::u16string& text, qreal ratio) {
  if (text.empty()) return;
  const QRect box = ToQRect(rect);
  painter.save();
  painter.setClipRect(LayoutRectOfDevice(rect, ratio), Qt::IntersectClip);
  painter.setFont(font);
  painter.setPen(QColor(layout::kTextRed, layout::kTextGreen, layout::kTextBlue));
  painter.setBackgroundMode(Qt::TransparentMode);
  painter.drawText(box, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine | Qt::TextShowMnemonic,
                   ToQString(text));
  painter.restore();
}

void PaintBar(QPainter& painter, const layout::Rect& bar, int percent, const QImage& fill,
              const QImage& track, qreal ratio) {
  const QImage image = DeviceBar(bar, percent, fill, track, ratio);
  painter.drawImage(LayoutRectOfDevice(bar, ratio).topLeft(), image);
}

void PaintWindow(QPainter& painter, const SkinImages& images, const DeviceSkin& device,
                 const QFont& statusFont, const QFont& detailFont,
                 const StatusState::Values& values, const QRect& area) {
  const qreal ratio = device.ratio > 0 ? device.ratio : 1;
  PaintBackground(painter, images, device, area);
  if (area.intersects(ItemRepaintRect(StatusState::kStatusLine))) {
    PaintTextLine(painter, statusFont, layout::kStatusLine, values.statusText, ratio);
  }
  if (area.intersects(ItemRepaintRect(StatusState::kDetailLine))) {
    PaintTextLine(painter, detailFont, layout::kDetailLine, values.detailText, ratio);
  }
  if (area.intersects(ItemRepaintRect(StatusState::kFileBar))) {
    PaintBar(painter, layout::kFileBar, values.filePercent, images.fileFill, images.track, ratio);
  }
  if (area.intersects(ItemRepaintRect(StatusState::kTotalBar))) {
    PaintBar(painter, layout::kTotalBar, values.totalPercent, images.totalFill, images.track,
             ratio);
  }
}

QRect ItemRect(StatusState::Item item) {
  switch (item) {
    case StatusState::kStatusLine:
      return ToQRect(layout::kStatusLine);
    case StatusState::kDetailLine:
      return ToQRect(layout::kDetailLine);
    case StatusState::kTotalBar:
      return ToQRect(layout::kTotalBar);
    case StatusState::kFileBar:
      return ToQRect(layout::kFileBar);
  }
  return {};
}

QRect ItemRepaintRect(StatusState::Item item) { return ItemRect(item).adjusted(-1, -1, 1, 1); }

}  // namespace launcher
