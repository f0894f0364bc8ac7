// The Win32 window's images as GDI objects: the skin from "launcher.bmp"
// (the installation's file) in a memory context, the three bar bitmaps built
// into the program's resources, and the window shape derived from the skin
// with the region code both windows share.
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

#include "ui/skin_region.h"

namespace launcher::win32 {

// Resource numbers of the program's own images.
inline constexpr int kIconResource = 128;
inline constexpr int kTrackBitmapResource = 131;
inline constexpr int kTotalBarBitmapResource = 132;
inline constexpr int kFileBarBitmapResource = 133;

class SkinImages {
 public:
  // Loads the skin from `skinPath` and the bars from the resources of
  // `module`. A skin that cannot be read is replaced by a plain panel of the
  // default size (and no shape); a missing bar leaves its context empty.
  static std::unique_ptr<SkinImages> Load(const std::wstring& skinPath, HINSTANCE module);
  ~SkinImages();
  SkinImages(const SkinImages&) = delete;
  SkinImages& operator=(const SkinImages&) = delete;

  bool HasSkin() const { return hasSkin_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  // Memory contexts holding the images; a context without its bitmap draws
  // nothing when copied from.
  HDC SkinDC() const { return skinDC_; }
  HDC TrackDC() const { return trackDC_; }
  HDC TotalFillDC() const { return totalFillDC_; }
  HDC FileFillDC() const { return fileFillDC_; }
  bool HasTrack() const { return track_ != nullptr; }
  bool HasTotalFill() const { return totalFill_ != nullptr; }
  bool HasFileFill() const { return fileFill_ != nullptr; }

  // The shape: the skin's opaque part. Null without a skin. The caller owns
  // the handle afterwards (SetWindowRgn takes it over).
  HRGN TakeShape();

 private:
  SkinImages() = default;
  void LoadBar(HINSTANCE module, int resource, HBITMAP* bitmap, HDC* dc);
  void MakePlainPanel();

  bool hasSkin_ = false;
  int width_ = 0;
  int height_ = 0;
  HBITMAP skin_ = nullptr;
  HDC skinDC_ = nullptr;
  HGDIOBJ skinOld_ = nullptr;
  HBITMAP track_ = nullptr;
  HBITMAP totalFill_ = nullptr;
  HBITMAP fileFill_ = nullptr;
  HDC trackDC_ = nullptr;
  HDC totalFillDC_ = nullptr;
  HDC fileFillDC_ = nullptr;
  HRGN shape_ = nullptr;
};

// The pixels of `bitmap`, top row first, each as 0x00RRGGBB; empty when the
// bitmap cannot be read. `width` and `height` receive its size.
std::vector<std::uint32_t> ReadBitmapPixels(HBITMAP bitmap, int* width, int* height);

// A GDI region made of `rects`, built in records of at most
// kRegionFlushRuns rectangles joined by union. Null for no rectangles.
HRGN RegionFromRects(const std::vector<RegionRect>& rects);

}  // namespace launcher::win32
