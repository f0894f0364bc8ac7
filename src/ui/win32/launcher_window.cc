#include "ui/win32/launcher_window.h"

#include <windowsx.h>

#include <vector>

#include "files/paths.h"
#include "files/string_table.h"
#include "seam/cancel.h"
#include "ui/dpi_scale.h"
#include "ui/win32/status_drawing.h"
#include "ui/win32/window_dpi.h"
#include "ui/window_layout.h"

namespace launcher::win32 {
namespace {

// Posted by a setter: some item changed since the window last drew.
constexpr UINT kMsgStatusChanged = WM_APP + 1;
// Sent by HideForHandOff.
constexpr UINT kMsgHide = WM_APP + 2;
constexpr UINT_PTR kRepaintTimer = 1;

// The worker may change a bar thousands of times a second; the window draws
// at most one frame per interval and folds the changes in between into it.
constexpr ULONGLONG kMinRepaintIntervalMs = 15;

void AppendString(std::vector<WORD>& out, const wchar_t* text) {
  for (; *text != L'\0'; ++text) out.push_back(static_cast<WORD>(*text));
  out.push_back(0);
}

void AppendDword(std::vector<WORD>& out, DWORD value) {
  out.push_back(static_cast<WORD>(value & 0xFFFFu));
  out.push_back(static_cast<WORD>(value >> 16));
}

// The dialog template: the launcher class and title, a pop-up with caption,
// system menu and minimise box, a task-bar button, no controls. Its size is
// replaced by the skin's while the dialog initialises.
std::vector<WORD> MakeDialogTemplate() {
  std::vector<WORD> t;
  AppendDword(t, WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_SETFONT);
  AppendDword(t, WS_EX_APPWINDOW);
  t.push_back(0);    // no controls
  t.push_back(0);    // x
  t.push_back(0);    // y
  t.push_back(230);  // width, dialog units
  t.push_back(111);  // height
  t.push_back(0);    // no menu
  AppendString(t, kLauncherWindowClass);
  AppendString(t, kLauncherWindowTitle);
  t.push_back(9);  // the dialog font, never used for drawing
  AppendString(t, L"宋体");
  return t;
}

}  // namespace

bool LauncherWindow::RegisterWindowClass(HINSTANCE module) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  // The standard dialog class: its window procedure, styles, cursor, icon
  // and background; only the name is ours.
  if (GetClassInfoExW(nullptr, L"#32770", &wc) == 0) return false;
  wc.cbSize = sizeof(wc);
  wc.hInstance = module;
  wc.lpszClassName = kLauncherWindowClass;
  return RegisterClassExW(&wc) != 0;
}

LauncherWindow::LauncherWindow(int fullCheck, int updateMode, HINSTANCE module)
    : StatusWindowBase(fullCheck, updateMode), module_(module) {}

LauncherWindow::~LauncherWindow() {
  EndWorker();
  if (statusFont_ != nullptr) DeleteObject(statusFont_);
  if (detailFont_ != nullptr) DeleteObject(detailFont_);
}

void LauncherWindow::RunModal(WorkerEntry worker, const std::wstring& skinPath) {
  workerEntry_ = std::move(worker);
  skinPath_ = skinPath;
  // Screen readers reach the window's accessible object through COM, which
  // delivers their calls through this thread's message loop.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const std::vector<WORD> dialog = MakeDialogTemplate();
  // The dialog runs in a loop of our own rather than the dialog manager's:
  // that one shows a hidden dialog again whenever its queue runs empty,
  // which would undo the hide before the patcher start.
  HWND hwnd =
      CreateDialogIndirectParamW(module_, reinterpret_cast<const DLGTEMPLATE*>(dialog.data()),
                                 nullptr, DialogProc, reinterpret_cast<LPARAM>(this));
  if (hwnd == nullptr) {
    if (SUCCEEDED(com)) CoUninitialize();
    return;
  }
  MSG msg;
  while (!closed_.load() && GetMessageW(&msg, nullptr, 0, 0) > 0) {
    // Keyboard handling of a dialog: Escape and Enter arrive as commands.
    if (IsDialogMessageW(hwnd, &msg) == 0) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  // However the loop ended, the window goes only after the handshake.
  if (!closed_.load()) OnClose();
  DestroyWindow(hwnd);
  hwnd_.store(nullptr);
  if (accessible_ != nullptr) {
    accessible_->Disconnect();
    accessible_->Release();
    accessible_ = nullptr;
  }
  if (SUCCEEDED(com)) CoUninitialize();
}

void LauncherWindow::PostRepaint() {
  // Never waits: the worker may be inside a guarded section while the
  // window thread waits for it in the close handshake.
  if (HWND hwnd = hwnd_.load()) PostMessageW(hwnd, kMsgStatusChanged, 0, 0);
}

void LauncherWindow::HideForHandOff() {
  // After the handshake the window is closing or gone; a sent message could
  // then wait for a thread that no longer reads them.
  if (WindowClosing.load() != 0) return;
  if (HWND hwnd = hwnd_.load()) SendMessageW(hwnd, kMsgHide, 0, 0);
}

void LauncherWindow::RequestClose() {
  if (WindowClosing.load() != 0) return;
  if (HWND hwnd = hwnd_.load()) SendMessageW(hwnd, WM_CLOSE, 0, 0);
}

INT_PTR CALLBACK LauncherWindow::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<LauncherWindow*>(lParam);
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    self->OnInitDialog(hwnd);
    return TRUE;
  }
  auto* self = reinterpret_cast<LauncherWindow*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  if (self == nullptr) return FALSE;
  LRESULT result = 0;
  if (!self->HandleMessage(message, wParam, lParam, &result)) return FALSE;
  SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
  return TRUE;
}

void LauncherWindow::OnInitDialog(HWND hwnd) {
  hwnd_.store(hwnd);
  icon_ = LoadIconW(module_, MAKEINTRESOURCEW(kIconResource));
  SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

  // No caption and no border: window pixels are skin pixels.
  const LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
  SetWindowLongPtrW(hwnd, GWL_STYLE, style & ~static_cast<LONG_PTR>(WS_CAPTION | WS_THICKFRAME));
  const LONG_PTR exStyle = GetWindowLongPtrW(hwnd, GWL_EXSTYLE);
  SetWindowLongPtrW(hwnd, GWL_EXSTYLE,
                    exStyle & ~static_cast<LONG_PTR>(WS_EX_WINDOWEDGE | WS_EX_DLGMODALFRAME |
                                                     WS_EX_CLIENTEDGE | WS_EX_STATICEDGE));
  SetWindowPos(hwnd, nullptr, 0, 0, 0, 0,
               SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);

  // The launcher scales itself, also when its density changes.
  KeepDialogManagerFromRescaling(hwnd);
  dpi_.store(WindowDpi(hwnd));
  images_ = SkinImages::Load(skinPath_, module_, dpi_.load());
  if (HRGN shape = images_->TakeShape()) {
    // The window system owns the region from here on.
    if (SetWindowRgn(hwnd, shape, TRUE) == 0) DeleteObject(shape);
  }

  // Centred on the whole screen, not the work area.
  RECT desktop{};
  GetWindowRect(GetDesktopWindow(), &desktop);
  const layout::Point at =
      layout::CentredOrigin(desktop.left, desktop.top, desktop.right, desktop.bottom,
                            images_->Width(), images_->Height());
  SetWindowPos(hwnd, HWND_TOP, at.x, at.y, images_->Width(), images_->Height(), 0);

  SetDpi(dpi_.load());

  LoadStringTable(StringTablePath);
  StartWorker(std::move(workerEntry_));
}

bool LauncherWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  HWND hwnd = hwnd_.load();
  // Nothing to draw until the images are loaded during initialisation.
  if (!images_ && (message == WM_ERASEBKGND || message == WM_PAINT)) return false;
  switch (message) {
    case WM_ERASEBKGND:
      // The whole window, in the window's order: skin, upper and lower text
      // line, lower and upper bar.
      DrawWindow(reinterpret_cast<HDC>(wParam), *images_, statusFont_, detailFont_,
                 CurrentValues());
      frames_.fetch_add(1);
      erasedThisPaint_ = true;
      *result = 1;
      return true;
    case WM_PAINT: {
      erasedThisPaint_ = false;
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      // An invalidation without erasing still has to show the window.
      if (!erasedThisPaint_ && dc != nullptr) {
        DrawWindow(dc, *images_, statusFont_, detailFont_, CurrentValues());
        frames_.fetch_add(1);
      }
      EndPaint(hwnd, &ps);
      *result = 0;
      return true;
    }
    case WM_NCHITTEST: {
      POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      ScreenToClient(hwnd, &at);
      // Only the close spot is client area; the whole rest of the skin is
      // the caption, so the window system drags the window by it.
      *result =
          ScaleRect(layout::kCloseSpot, dpi_.load()).Contains(at.x, at.y) ? HTCLIENT : HTCAPTION;
      return true;
    }
    case WM_LBUTTONUP:
      SendMessageW(hwnd, WM_CLOSE, 0, 0);
      *result = 0;
      return true;
    case WM_COMMAND:
      // Escape and Enter end a dialog; they close like the close spot.
      if (LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == IDOK) {
        SendMessageW(hwnd, WM_CLOSE, 0, 0);
        *result = 0;
        return true;
      }
      return false;
    case WM_CLOSE:
      OnClose();
      *result = 0;
      return true;
    case WM_QUERYENDSESSION:
      *result = TRUE;
      return true;
    case WM_ENDSESSION:
      // The process may end as soon as this returns: finish the worker's
      // guarded section first, so the next run resumes from sound files.
      if (wParam != 0) OnClose();
      *result = 0;
      return true;
    case kMsgStatusChanged:
      OnStatusChanged();
      *result = 0;
      return true;
    case WM_TIMER:
      if (wParam != kRepaintTimer) return false;
      KillTimer(hwnd, kRepaintTimer);
      timerPending_ = false;
      DrawChanged();
      *result = 0;
      return true;
    case WM_GETDPISCALEDSIZE: {
      // The size the window will have at the new density, so that the
      // rectangle WM_DPICHANGED then suggests fits the scaled skin exactly.
      if (!images_) return false;
      *reinterpret_cast<SIZE*>(lParam) = images_->SizeAt(static_cast<int>(wParam));
      *result = TRUE;
      return true;
    }
    case WM_DPICHANGED:
      // The two halves of wParam are the same density for a window.
      OnDpiChanged(UsableDpi(HIWORD(wParam)), *reinterpret_cast<const RECT*>(lParam));
      *result = 0;
      return true;
    case WM_GETOBJECT:
      *result = AnswerGetObject(wParam, lParam);
      return *result != 0;
    case kMsgHide:
      ShowWindow(hwnd, SW_HIDE);
      *result = 0;
      return true;
    default:
      return false;
  }
}

void LauncherWindow::OnClose() {
  // The one place every close passes: wait for a guarded section of the
  // worker to finish and keep any further one from starting.
  RunCloseHandshake();
  closed_.store(true);
  HWND hwnd = hwnd_.load();
  KillTimer(hwnd, kRepaintTimer);
  // Wakes the loop in RunModal, which then destroys the window.
  PostMessageW(hwnd, WM_NULL, 0, 0);
}

void LauncherWindow::OnStatusChanged() {
  if (timerPending_) return;
  const ULONGLONG now = GetTickCount64();
  if (lastDraw_ != 0 && now - lastDraw_ < kMinRepaintIntervalMs) {
    // The request stays outstanding, so the worker posts no more until the
    // timer has folded its changes into one frame.
    SetTimer(hwnd_.load(), kRepaintTimer,
             static_cast<UINT>(kMinRepaintIntervalMs - (now - lastDraw_)), nullptr);
    timerPending_ = true;
    return;
  }
  DrawChanged();
}

void LauncherWindow::DrawChanged() {
  lastDraw_ = GetTickCount64();
  const unsigned changed = State().TakeChanged();
  if (changed == 0 || closed_.load() || !images_) return;
  HWND hwnd = hwnd_.load();
  const StatusState::Values values = CurrentValues();
  // Screen readers hear of a change at most once a frame, like the eye.
  StatusAccessible::AnnounceChanges(hwnd, announced_, values);
  announced_ = values;
  HDC dc = GetDC(hwnd);
  if (dc == nullptr) return;  // drawn at the next repaint
  DrawItems(dc, *images_, statusFont_, detailFont_, values, changed);
  ReleaseDC(hwnd, dc);
  frames_.fetch_add(1);
}

void LauncherWindow::SetDpi(int dpi) {
  dpi_.store(dpi);
  if (images_ && images_->Dpi() != dpi) images_->Rescale(dpi);
  const std::wstring face = ChooseStatusFace();
  for (HFONT* font : {&statusFont_, &detailFont_}) {
    if (*font != nullptr) DeleteObject(*font);
    *font = CreateStatusFont(face, dpi);
  }
}

void LauncherWindow::OnDpiChanged(int dpi, const RECT& suggested) {
  if (!images_) return;
  HWND hwnd = hwnd_.load();
  if (dpi != dpi_.load()) {
    SetDpi(dpi);
    // The shape scaled like the skin, so that their edges meet.
    if (HRGN shape = images_->TakeShape()) {
      if (SetWindowRgn(hwnd, shape, FALSE) == 0) DeleteObject(shape);
    }
  }
  // Where the system suggests, at the scaled skin's own size (the same when
  // it asked WM_GETDPISCALEDSIZE first).
  SetWindowPos(hwnd, nullptr, suggested.left, suggested.top, images_->Width(), images_->Height(),
               SWP_NOZORDER | SWP_NOACTIVATE);
  InvalidateRect(hwnd, nullptr, TRUE);
}

LRESULT LauncherWindow::AnswerGetObject(WPARAM wParam, LPARAM lParam) {
  // Only the client object is ours; the system answers for the frame.
  if (static_cast<LONG>(lParam) != OBJID_CLIENT) return 0;
  HWND hwnd = hwnd_.load();
  if (accessible_ == nullptr) {
    accessible_ = StatusAccessible::Create(
        hwnd, {[this] { return CurrentValues(); }, [this] { return dpi_.load(); }});
    if (accessible_ == nullptr) return 0;
  }
  return accessible_->Answer(wParam);
}

}  // namespace launcher::win32
