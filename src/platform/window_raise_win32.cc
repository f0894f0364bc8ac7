#include "platform/window_raise.h"

#include <windows.h>

#include <string>

namespace launcher {
namespace {

std::wstring Wide(std::string_view text) {
  const int size = static_cast<int>(text.size());
  const int units = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(units > 0 ? units : 0), L'\0');
  if (units > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), units);
  return wide;
}

}  // namespace

bool RaiseWindowByClass(std::string_view wmClass, std::string_view title) {
  if (wmClass.empty()) return false;
  const std::wstring windowClass = Wide(wmClass);
  const std::wstring windowTitle = Wide(title);
  HWND window = ::FindWindowW(windowClass.c_str(), title.empty() ? nullptr : windowTitle.c_str());
  if (window == nullptr) return false;
  // SW_SHOWNORMAL also shows a hidden window and restores a minimised one.
  ::SetForegroundWindow(window);
  ::ShowWindow(window, SW_SHOWNORMAL);
  return true;
}

}  // namespace launcher
