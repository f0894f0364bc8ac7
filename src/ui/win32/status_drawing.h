// Drawing of the Win32 launcher window: the skin, the two text lines and the
// two progress bars at their fixed places, scaled to the images' density
// (ui/dpi_scale.h), from the images of SkinImages. Window thread only; every function draws into
// the context it is given and leaves its selected objects as it found them.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "ui/status_state.h"
#include "ui/win32/skin_images.h"
#include "ui/window_layout.h"

namespace launcher::win32 {

// The face of both text lines: "宋体" where it is installed, otherwise the
// first installed face that covers Chinese text.
std::wstring ChooseStatusFace();

// A font of cell height 13 scaled to `dpi`, character set GB2312, in `face`.
HFONT CreateStatusFont(const std::wstring& face, int dpi);

// One text line in `rect` (window pixels): the skin under the rectangle,
// then `text` in the text colour on a transparent background, as a single
// line, left and top aligned, cut at the rectangle's edges; "&" underlines
// the next character and "&&" draws one ampersand. Composed off-screen and
// copied in one step, so the line never shows half drawn.
void DrawTextLine(HDC target, const SkinImages& images, HFONT font, const layout::Rect& rect,
                  std::u16string_view text);

// One bar whose layout rectangle is `bar`: the first ScaledBarFillWidth
// pixels from the left end of the fill image, the rest from the track image
// at the same offset.
void DrawBar(HDC target, const SkinImages& images, const layout::Rect& bar,
             const SkinImages::Bar& barImages, int percent);

// The items of `changed` (a StatusState item mask), in the window's order:
// upper and lower text line, lower and upper bar.
void DrawItems(HDC target, const SkinImages& images, HFONT statusFont, HFONT detailFont,
               const StatusState::Values& values, unsigned changed);

// Everything: the whole skin, then every item in the window's order.
void DrawWindow(HDC target, const SkinImages& images, HFONT statusFont, HFONT detailFont,
                const StatusState::Values& values);

}  // namespace launcher::win32
