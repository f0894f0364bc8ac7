#include <chrono>
#include <thread>

#include "platform/clock.h"

namespace launcher {

std::uint32_t SystemTickCount() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
  return static_cast<std::uint32_t>(ms);
}

void SystemSleep(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace launcher
