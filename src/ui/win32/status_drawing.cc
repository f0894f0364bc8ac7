#include "ui/win32/status_drawing.h"

#include <array>

#include "ui/dpi_scale.h"

namespace launcher::win32 {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text is handed to GDI unchanged");

// The faces tried in order; the first is the one the skin was made for.
constexpr std::array<const wchar_t*, 7> kFaces = {L"宋体",
                                                  L"SimSun",
                                                  L"NSimSun",
                                                  L"WenQuanYi Micro Hei",
                                                  L"Microsoft YaHei",
                                                  L"Noto Sans CJK SC",
                                                  L"Droid Sans Fallback"};

int CALLBACK NoteFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

bool FaceInstalled(HDC dc, const wchar_t* face) {
  LOGFONTW query{};
  query.lfCharSet = DEFAULT_CHARSET;
  lstrcpynW(query.lfFaceName, face, LF_FACESIZE);
  bool found = false;
  EnumFontFamiliesExW(dc, &query, NoteFound, reinterpret_cast<LPARAM>(&found), 0);
  return found;
}

}  // namespace

std::wstring ChooseStatusFace() {
  HDC screen = GetDC(nullptr);
  std::wstring chosen = kFaces[0];
  for (const wchar_t* face : kFaces) {
    if (FaceInstalled(screen, face)) {
      chosen = face;
      break;
    }
  }
  ReleaseDC(nullptr, screen);
  return chosen;
}

HFONT CreateStatusFont(const std::wstring& face, int dpi) {
  LOGFONTW font{};
  // Positive: the cell height. Drawn by the font engine at the scaled size,
  // so the text stays sharp at any density.
  font.lfHeight = ScaleLength(layout::kFontPixelSize, dpi);
  font.lfCharSet = GB2312_CHARSET;
  font.lfOutPrecision = OUT_DEFAULT_PRECIS;
  font.lfClipPrecision = CLIP_DEFAULT_PRECIS;
  font.lfQuality = DEFAULT_QUALITY;
  font.lfPitchAndFamily = DEFAULT_PITCH;
  lstrcpynW(font.lfFaceName, face.c_str(), LF_FACESIZE);
  return CreateFontIndirectW(&font);
}

void DrawTextLine(HDC target, const SkinImages& images, HFONT font, const layout::Rect& rect,
                  std::u16string_view text) {
  const int w = rect.width();
  const int h = rect.height();
  HDC scratch = CreateCompatibleDC(target);
  HBITMAP canvas = CreateCompatibleBitmap(target, w, h);
  if (scratch == nullptr || canvas == nullptr) {
    if (canvas != nullptr) DeleteObject(canvas);
    if (scratch != nullptr) DeleteDC(scratch);
    return;
  }
  HGDIOBJ oldBitmap = SelectObject(scratch, canvas);
  // The skin under the line erases the previous text.
  BitBlt(scratch, 0, 0, w, h, images.Skin().dc(), rect.left, rect.top, SRCCOPY);
  if (!text.empty()) {
    HGDIOBJ oldFont = font != nullptr ? SelectObject(scratch, font) : nullptr;
    SetTextColor(scratch, RGB(layout::kTextRed, layout::kTextGreen, layout::kTextBlue));
    SetBkMode(scratch, TRANSPARENT);
    RECT box{0, 0, w, h};
    DrawTextW(scratch, reinterpret_cast<const wchar_t*>(text.data()), static_cast<int>(text.size()),
              &box, DT_SINGLELINE | DT_LEFT | DT_TOP);
    if (oldFont != nullptr) SelectObject(scratch, oldFont);
  }
  BitBlt(target, rect.left, rect.top, w, h, scratch, 0, 0, SRCCOPY);
  SelectObject(scratch, oldBitmap);
  DeleteObject(canvas);
  DeleteDC(scratch);
}

void DrawBar(HDC target, const SkinImages& images, const layout::Rect& bar,
             const SkinImages::Bar& barImages, int percent) {
  const layout::Rect at = ScaleRect(bar, images.Dpi());
  const int w = ScaledBarFillWidth(percent, images.Dpi());
  const int rest = at.width() - w;
  if (rest > 0 && !barImages.track.empty()) {
    BitBlt(target, at.left + w, at.top, rest, at.height(), barImages.track.dc(), w, 0, SRCCOPY);
  }
  if (w > 0 && !barImages.fill.empty()) {
    BitBlt(target, at.left, at.top, w, at.height(), barImages.fill.dc(), 0, 0, SRCCOPY);
  }
}

void DrawItems(HDC target, const SkinImages& images, HFONT statusFont, HFONT detailFont,
               const StatusState::Values& values, unsigned changed) {
  const int dpi = images.Dpi();
  if ((changed & StatusState::kStatusLine) != 0) {
    DrawTextLine(target, images, statusFont, ScaleRect(layout::kStatusLine, dpi),
                 values.statusText);
  }
  if ((changed & StatusState::kDetailLine) != 0) {
    DrawTextLine(target, images, detailFont, ScaleRect(layout::kDetailLine, dpi),
                 values.detailText);
  }
  if ((changed & StatusState::kFileBar) != 0) {
    DrawBar(target, images, layout::kFileBar, images.FileBar(), values.filePercent);
  }
  if ((changed & StatusState::kTotalBar) != 0) {
    DrawBar(target, images, layout::kTotalBar, images.TotalBar(), values.totalPercent);
  }
}

void DrawWindow(HDC target, const SkinImages& images, HFONT statusFont, HFONT detailFont,
                const StatusState::Values& values) {
  BitBlt(target, 0, 0, images.Width(), images.Height(), images.Skin().dc(), 0, 0, SRCCOPY);
  DrawItems(target, images, statusFont, detailFont, values,
            StatusState::kStatusLine | StatusState::kDetailLine | StatusState::kFileBar |
                StatusState::kTotalBar);
}

}  // namespace launcher::win32
