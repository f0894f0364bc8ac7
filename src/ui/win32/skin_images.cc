#include "ui/win32/skin_images.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>
#include <utility>

#include "ui/window_layout.h"

namespace launcher::win32 {
namespace {

COLORREF Rgb(int r, int g, int b) {
  return RGB(static_cast<BYTE>(r), static_cast<BYTE>(g), static_cast<BYTE>(b));
}

void FillRect(HDC dc, int left, int top, int right, int bottom, COLORREF colour) {
  const RECT r{left, top, right, bottom};
  HBRUSH brush = CreateSolidBrush(colour);
  ::FillRect(dc, &r, brush);
  DeleteObject(brush);
}

// A top-down 32-bit DIB section of width x height; `bits` receives its
// pixels, one 32-bit word each (blue, green, red, unused), rows unpadded.
HBITMAP CreateTopDownDib(int width, int height, void** bits) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  return CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, bits, nullptr, 0);
}

PixelImage ReadImage(HBITMAP bitmap) {
  PixelImage image;
  image.pixels = ReadBitmapPixels(bitmap, &image.width, &image.height);
  if (image.pixels.empty()) return {};
  return image;
}

PixelImage LoadBar(HINSTANCE module, int resource) {
  HBITMAP bitmap = static_cast<HBITMAP>(
      LoadImageW(module, MAKEINTRESOURCEW(resource), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  PixelImage image = ReadImage(bitmap);
  if (bitmap != nullptr) DeleteObject(bitmap);
  return image;
}

// Without a skin the window still shows where to click to close it: the
// same plain panel as the Linux window, drawn at the skin's density.
PixelImage PlainPanel() {
  const int w = layout::kDefaultWidth;
  const int h = layout::kDefaultHeight;
  void* bits = nullptr;
  HBITMAP bitmap = CreateTopDownDib(w, h, &bits);
  HDC dc = CreateCompatibleDC(nullptr);
  if (bitmap == nullptr || dc == nullptr) {
    if (bitmap != nullptr) DeleteObject(bitmap);
    if (dc != nullptr) DeleteDC(dc);
    return {};
  }
  HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
  FillRect(dc, 0, 0, w, h, Rgb(24, 30, 56));
  HBRUSH frame = CreateSolidBrush(Rgb(226, 190, 110));
  const RECT all{0, 0, w, h};
  FrameRect(dc, &all, frame);
  DeleteObject(frame);
  const layout::Rect spot = layout::kCloseSpot;
  FillRect(dc, spot.left, spot.top, spot.right, spot.bottom, Rgb(120, 30, 28));
  HPEN pen = CreatePen(PS_SOLID, 2, Rgb(layout::kTextRed, layout::kTextGreen, layout::kTextBlue));
  HGDIOBJ oldPen = SelectObject(dc, pen);
  MoveToEx(dc, spot.left + 5, spot.top + 5, nullptr);
  LineTo(dc, spot.right - 6, spot.bottom - 6);
  MoveToEx(dc, spot.right - 6, spot.top + 5, nullptr);
  LineTo(dc, spot.left + 5, spot.bottom - 6);
  SelectObject(dc, oldPen);
  DeleteObject(pen);
  GdiFlush();
  PixelImage image{w, h, {}};
  const auto* words = static_cast<const std::uint32_t*>(bits);
  image.pixels.assign(words, words + static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  for (std::uint32_t& p : image.pixels) p &= 0xFFFFFFu;
  SelectObject(dc, oldBitmap);
  DeleteDC(dc);
  DeleteObject(bitmap);
  return image;
}

}  // namespace

MemoryImage::MemoryImage(const PixelImage& image) {
  if (image.width <= 0 || image.height <= 0) return;
  void* bits = nullptr;
  bitmap_ = CreateTopDownDib(image.width, image.height, &bits);
  if (bitmap_ == nullptr) return;
  dc_ = CreateCompatibleDC(nullptr);
  if (dc_ == nullptr) {
    Release();
    return;
  }
  // 0x00RRGGBB in memory is blue, green, red, unused: the DIB's own order.
  std::memcpy(bits, image.pixels.data(), image.pixels.size() * sizeof(std::uint32_t));
  old_ = SelectObject(dc_, bitmap_);
  width_ = image.width;
  height_ = image.height;
}

MemoryImage::~MemoryImage() { Release(); }

MemoryImage::MemoryImage(MemoryImage&& other) noexcept { *this = std::move(other); }

MemoryImage& MemoryImage::operator=(MemoryImage&& other) noexcept {
  if (this != &other) {
    Release();
    dc_ = std::exchange(other.dc_, nullptr);
    bitmap_ = std::exchange(other.bitmap_, nullptr);
    old_ = std::exchange(other.old_, nullptr);
    width_ = std::exchange(other.width_, 0);
    height_ = std::exchange(other.height_, 0);
  }
  return *this;
}

void MemoryImage::Release() {
  if (dc_ != nullptr) {
    if (old_ != nullptr) SelectObject(dc_, old_);
    DeleteDC(dc_);
  }
  if (bitmap_ != nullptr) DeleteObject(bitmap_);
  dc_ = nullptr;
  bitmap_ = nullptr;
  old_ = nullptr;
  width_ = 0;
  height_ = 0;
}

std::vector<std::uint32_t> ReadBitmapPixels(HBITMAP bitmap, int* width, int* height) {
  BITMAP info{};
  if (bitmap == nullptr || GetObjectW(bitmap, sizeof(info), &info) == 0 || info.bmWidth <= 0 ||
      info.bmHeight == 0) {
    return {};
  }
  const int w = info.bmWidth;
  const int h = info.bmHeight < 0 ? -info.bmHeight : info.bmHeight;
  BITMAPINFO request{};
  request.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  request.bmiHeader.biWidth = w;
  request.bmiHeader.biHeight = -h;  // top row first
  request.bmiHeader.biPlanes = 1;
  request.bmiHeader.biBitCount = 32;
  request.bmiHeader.biCompression = BI_RGB;
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  HDC screen = GetDC(nullptr);
  const int rows =
      GetDIBits(screen, bitmap, 0, static_cast<UINT>(h), pixels.data(), &request, DIB_RGB_COLORS);
  ReleaseDC(nullptr, screen);
  if (rows != h) return {};
  // Blue, green, red and an unused byte: 0x??RRGGBB read as one word.
  for (std::uint32_t& p : pixels) p &= 0xFFFFFFu;
  *width = w;
  *height = h;
  return pixels;
}

HRGN RegionFromRects(const std::vector<RegionRect>& rects) {
  HRGN result = nullptr;
  for (std::size_t start = 0; start < rects.size(); start += kRegionFlushRuns) {
    const std::size_t count = std::min<std::size_t>(kRegionFlushRuns, rects.size() - start);
    std::vector<std::byte> record(sizeof(RGNDATAHEADER) + count * sizeof(RECT));
    auto* data = reinterpret_cast<RGNDATA*>(record.data());
    data->rdh.dwSize = sizeof(RGNDATAHEADER);
    data->rdh.iType = RDH_RECTANGLES;
    data->rdh.nCount = static_cast<DWORD>(count);
    data->rdh.nRgnSize = static_cast<DWORD>(count * sizeof(RECT));
    RECT bounds{INT32_MAX, INT32_MAX, 0, 0};
    auto* out = reinterpret_cast<RECT*>(data->Buffer);
    for (std::size_t i = 0; i < count; ++i) {
      const RegionRect& r = rects[start + i];
      out[i] = RECT{r.left, r.top, r.right, r.bottom};
      bounds.left = std::min<LONG>(bounds.left, r.left);
      bounds.top = std::min<LONG>(bounds.top, r.top);
      bounds.right = std::max<LONG>(bounds.right, r.right);
      bounds.bottom = std::max<LONG>(bounds.bottom, r.bottom);
    }
    data->rdh.rcBound = bounds;
    HRGN part = ExtCreateRegion(nullptr, static_cast<DWORD>(record.size()), data);
    if (part == nullptr) continue;
    if (result == nullptr) {
      result = part;
    } else {
      CombineRgn(result, result, part, RGN_OR);
      DeleteObject(part);
    }
  }
  return result;
}

std::unique_ptr<SkinImages> SkinImages::Load(const std::wstring& skinPath, HINSTANCE module,
                                             int dpi) {
  std::unique_ptr<SkinImages> images(new SkinImages());
  HBITMAP skin = static_cast<HBITMAP>(LoadImageW(nullptr, skinPath.c_str(), IMAGE_BITMAP, 0, 0,
                                                 LR_LOADFROMFILE | LR_CREATEDIBSECTION));
  images->skinPixels_ = ReadImage(skin);
  if (skin != nullptr) DeleteObject(skin);
  if (!images->skinPixels_.pixels.empty()) {
    images->hasSkin_ = true;
    const PixelImage& s = images->skinPixels_;
    images->shapeRects_ = CreateRegionFromBitmap(
        s.width, s.height, std::span<const std::uint32_t>(s.pixels),
        static_cast<std::size_t>(s.width), layout::kSkinKeyColour, RegionMode::kOpaque);
  } else {
    images->skinPixels_ = PlainPanel();
  }
  images->totalFillPixels_ = LoadBar(module, kTotalBarBitmapResource);
  images->fileFillPixels_ = LoadBar(module, kFileBarBitmapResource);
  images->trackPixels_ = LoadBar(module, kTrackBitmapResource);
  images->Rescale(dpi);
  return images;
}

void SkinImages::Rescale(int dpi) {
  dpi_ = UsableDpi(dpi);
  skin_ = MemoryImage(ScaleImageNearest(skinPixels_, dpi_));
  // A bar image's pixels land on the skin pixels under the bar, so each is
  // scaled for the place it is drawn at: at a fractional density the two
  // bars' rows may differ by a pixel.
  auto scaleBar = [this](const PixelImage& image, const layout::Rect& bar) {
    return MemoryImage(ScaleImageNearest(image, dpi_, bar.left, bar.top));
  };
  totalBar_.fill = scaleBar(totalFillPixels_, layout::kTotalBar);
  totalBar_.track = scaleBar(trackPixels_, layout::kTotalBar);
  fileBar_.fill = scaleBar(fileFillPixels_, layout::kFileBar);
  fileBar_.track = scaleBar(trackPixels_, layout::kFileBar);
  if (shape_ != nullptr) DeleteObject(shape_);
  shape_ = nullptr;
  if (hasSkin_) {
    // An all-key skin gives an empty, invisible shape, not a rectangle.
    shape_ = shapeRects_.empty() ? CreateRectRgn(0, 0, 0, 0)
                                 : RegionFromRects(ScaleRegion(shapeRects_, dpi_));
  }
}

SIZE SkinImages::SizeAt(int dpi) const {
  const int usable = UsableDpi(dpi);
  return {ScaleLength(skinPixels_.width, usable), ScaleLength(skinPixels_.height, usable)};
}

HRGN SkinImages::TakeShape() {
  HRGN shape = shape_;
  shape_ = nullptr;
  return shape;
}

SkinImages::~SkinImages() {
  if (shape_ != nullptr) DeleteObject(shape_);
}

}  // namespace launcher::win32
