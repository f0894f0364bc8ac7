// The Win32 window's images as GDI objects at the window's pixel density:
// the skin from "launcher.bmp" (the installation's file), the three bar
// bitmaps built into the program's resources, and the window shape derived
// from the skin with the region code both windows share. The pixels read at
// load are kept, so a change of density builds every image and the shape
// again from them (ui/dpi_scale.h: nearest neighbour, shared edges).
//
// Created and used on the window thread only; owns every handle and releases
// them when destroyed, except the shape, which belongs to the window system
// once TakeShape has handed it over.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ui/dpi_scale.h"
#include "ui/skin_region.h"

namespace launcher::win32 {

// Resource numbers of the program's own images.
inline constexpr int kIconResource = 128;
inline constexpr int kTrackBitmapResource = 131;
inline constexpr int kTotalBarBitmapResource = 132;
inline constexpr int kFileBarBitmapResource = 133;

// A 32-bit image selected into a memory context, the source of BitBlt
// copies. Empty (no context) for an empty image. Move-only.
class MemoryImage {
 public:
  MemoryImage() = default;
  explicit MemoryImage(const PixelImage& image);
  ~MemoryImage();
  MemoryImage(MemoryImage&& other) noexcept;
  MemoryImage& operator=(MemoryImage&& other) noexcept;
  MemoryImage(const MemoryImage&) = delete;
  MemoryImage& operator=(const MemoryImage&) = delete;

  bool empty() const { return dc_ == nullptr; }
  HDC dc() const { return dc_; }
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  void Release();

  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ old_ = nullptr;
  int width_ = 0;
  int height_ = 0;
};

class SkinImages {
 public:
  // One bar as it sits in the window: the filled image and the empty track,
  // both scaled for the bar's place. Empty images when a bitmap is missing.
  struct Bar {
    MemoryImage fill;
    MemoryImage track;
  };

  // Loads the skin from `skinPath` and the bars from the resources of
  // `module`, and builds them at `dpi`. A skin that cannot be read is
  // replaced by a plain panel of the default size (and no shape); a missing
  // bar leaves its images empty.
  static std::unique_ptr<SkinImages> Load(const std::wstring& skinPath, HINSTANCE module, int dpi);
  ~SkinImages();
  SkinImages(const SkinImages&) = delete;
  SkinImages& operator=(const SkinImages&) = delete;

  // Builds the images and the shape again at `dpi` (a UsableDpi).
  void Rescale(int dpi);

  int Dpi() const { return dpi_; }
  bool HasSkin() const { return hasSkin_; }
  // The window's size at the current density, and at `dpi`.
  int Width() const { return skin_.width(); }
  int Height() const { return skin_.height(); }
  SIZE SizeAt(int dpi) const;

  const MemoryImage& Skin() const { return skin_; }
  const Bar& TotalBar() const { return totalBar_; }
  const Bar& FileBar() const { return fileBar_; }

  // The shape at the current density: the skin's opaque part. Null without
  // a skin. The caller owns the handle afterwards (SetWindowRgn takes it
  // over).
  HRGN TakeShape();

 private:
  SkinImages() = default;

  bool hasSkin_ = false;
  int dpi_ = kBaseDpi;
  // What was read, at the skin's own pixels.
  PixelImage skinPixels_;
  std::vector<RegionRect> shapeRects_;
  PixelImage trackPixels_;
  PixelImage totalFillPixels_;
  PixelImage fileFillPixels_;
  // The same at the current density.
  MemoryImage skin_;
  Bar totalBar_;
  Bar fileBar_;
  HRGN shape_ = nullptr;
};

// The pixels of `bitmap`, top row first, each as 0x00RRGGBB; empty when the
// bitmap cannot be read. `width` and `height` receive its size.
std::vector<std::uint32_t> ReadBitmapPixels(HBITMAP bitmap, int* width, int* height);

// A GDI region made of `rects`, built in records of at most
// kRegionFlushRuns rectangles joined by union. Null for no rectangles.
HRGN RegionFromRects(const std::vector<RegionRect>& rects);

}  // namespace launcher::win32
