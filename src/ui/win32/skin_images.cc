#include "ui/win32/skin_images.h"

#include <algorithm>
#include <cstddef>
#include <span>

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

}  // namespace

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

std::unique_ptr<SkinImages> SkinImages::Load(const std::wstring& skinPath, HINSTANCE module) {
  std::unique_ptr<SkinImages> images(new SkinImages());
  HDC screen = GetDC(nullptr);
  images->skinDC_ = CreateCompatibleDC(screen);
  ReleaseDC(nullptr, screen);

  images->skin_ = static_cast<HBITMAP>(LoadImageW(nullptr, skinPath.c_str(), IMAGE_BITMAP, 0, 0,
                                                  LR_LOADFROMFILE | LR_CREATEDIBSECTION));
  int w = 0;
  int h = 0;
  const std::vector<std::uint32_t> pixels = ReadBitmapPixels(images->skin_, &w, &h);
  if (!pixels.empty()) {
    images->hasSkin_ = true;
    images->width_ = w;
    images->height_ = h;
    images->skinOld_ = SelectObject(images->skinDC_, images->skin_);
    const std::vector<RegionRect> rects = CreateRegionFromBitmap(
        w, h, std::span<const std::uint32_t>(pixels), static_cast<std::size_t>(w),
        layout::kSkinKeyColour, RegionMode::kOpaque);
    // An all-key skin gives an empty, invisible shape, not a rectangle.
    images->shape_ = rects.empty() ? CreateRectRgn(0, 0, 0, 0) : RegionFromRects(rects);
  } else {
    if (images->skin_ != nullptr) DeleteObject(images->skin_);
    images->skin_ = nullptr;
    images->MakePlainPanel();
  }
  images->LoadBar(module, kTotalBarBitmapResource, &images->totalFill_, &images->totalFillDC_);
  images->LoadBar(module, kFileBarBitmapResource, &images->fileFill_, &images->fileFillDC_);
  images->LoadBar(module, kTrackBitmapResource, &images->track_, &images->trackDC_);
  return images;
}

void SkinImages::LoadBar(HINSTANCE module, int resource, HBITMAP* bitmap, HDC* dc) {
  *bitmap = static_cast<HBITMAP>(
      LoadImageW(module, MAKEINTRESOURCEW(resource), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  HDC screen = GetDC(nullptr);
  *dc = CreateCompatibleDC(screen);
  ReleaseDC(nullptr, screen);
  if (*bitmap != nullptr) SelectObject(*dc, *bitmap);
}

// Without a skin the window still shows where to click to close it: the
// same plain panel as the Linux window.
void SkinImages::MakePlainPanel() {
  width_ = layout::kDefaultWidth;
  height_ = layout::kDefaultHeight;
  HDC screen = GetDC(nullptr);
  skin_ = CreateCompatibleBitmap(screen, width_, height_);
  ReleaseDC(nullptr, screen);
  skinOld_ = SelectObject(skinDC_, skin_);
  FillRect(skinDC_, 0, 0, width_, height_, Rgb(24, 30, 56));
  HBRUSH frame = CreateSolidBrush(Rgb(226, 190, 110));
  const RECT all{0, 0, width_, height_};
  FrameRect(skinDC_, &all, frame);
  DeleteObject(frame);
  const layout::Rect spot = layout::kCloseSpot;
  FillRect(skinDC_, spot.left, spot.top, spot.right, spot.bottom, Rgb(120, 30, 28));
  HPEN pen = CreatePen(PS_SOLID, 2, Rgb(layout::kTextRed, layout::kTextGreen, layout::kTextBlue));
  HGDIOBJ oldPen = SelectObject(skinDC_, pen);
  MoveToEx(skinDC_, spot.left + 5, spot.top + 5, nullptr);
  LineTo(skinDC_, spot.right - 6, spot.bottom - 6);
  MoveToEx(skinDC_, spot.right - 6, spot.top + 5, nullptr);
  LineTo(skinDC_, spot.left + 5, spot.bottom - 6);
  SelectObject(skinDC_, oldPen);
  DeleteObject(pen);
}

HRGN SkinImages::TakeShape() {
  HRGN shape = shape_;
  shape_ = nullptr;
  return shape;
}

SkinImages::~SkinImages() {
  if (skinDC_ != nullptr) {
    if (skinOld_ != nullptr) SelectObject(skinDC_, skinOld_);
    DeleteDC(skinDC_);
  }
  for (HDC dc : {trackDC_, totalFillDC_, fileFillDC_}) {
    if (dc != nullptr) DeleteDC(dc);
  }
  for (HBITMAP b : {skin_, track_, totalFill_, fileFill_}) {
    if (b != nullptr) DeleteObject(b);
  }
  if (shape_ != nullptr) DeleteObject(shape_);
}

}  // namespace launcher::win32
