#include <windows.h>

#include "platform/clock.h"

namespace launcher {

std::uint32_t SystemTickCount() { return static_cast<std::uint32_t>(::GetTickCount()); }

void SystemSleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

LocalTime LocalTimeNow() {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

}  // namespace launcher
