#include <windows.h>

#include <system_error>

#include "platform/clock.h"
#include "platform/long_path.h"

namespace launcher {

std::wstring LongPath(const std::filesystem::path& path) {
  std::wstring text = path.wstring();
  if (text.rfind(L"\\\\?\\", 0) == 0) return text;
  std::error_code ec;
  // Names are taken as they are, a relative one joined to the working
  // directory: std::filesystem::absolute asks GetFullPathNameW, whose
  // clean-up also drops final dots and spaces of names ("..." becomes "..").
  std::filesystem::path absolute = path;
  if (!path.has_root_name() && !path.has_root_directory()) {
    absolute = std::filesystem::current_path(ec) / path;
  } else if (!path.is_absolute()) {
    absolute = std::filesystem::absolute(path, ec);
  }
  if (ec) absolute = path;
  text = absolute.lexically_normal().make_preferred().wstring();
  if (text.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + text.substr(2);
  return L"\\\\?\\" + text;
}

bool RetryWhileShared(const std::function<bool()>& operation) {
  const std::uint32_t start = EngineClock().TickCount();
  std::uint32_t pause = 20;
  for (;;) {
    if (operation()) return true;
    const DWORD error = ::GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) return false;
    if (EngineClock().TickCount() - start >= kSharingRetryMs) {
      ::SetLastError(error);
      return false;
    }
    EngineClock().Sleep(pause);
    if (pause < 250) pause *= 2;
  }
}

}  // namespace launcher
