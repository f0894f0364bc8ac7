#include "platform/clock.h"

#include <chrono>

namespace launcher {
namespace {

class SystemClock final : public Clock {
 public:
  std::uint32_t TickCount() override { return SystemTickCount(); }
  void Sleep(std::uint32_t milliseconds) override { SystemSleep(milliseconds); }
};

SystemClock g_systemClock;
Clock* g_engineClock = &g_systemClock;

}  // namespace

std::int64_t Clock::SystemUnixTime() {
  // The system clock counts from 1970 UTC on every platform (C++20).
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::seconds>(now).count();
}

Clock& EngineClock() { return *g_engineClock; }

Clock* SetEngineClock(Clock* clock) {
  Clock* previous = g_engineClock;
  g_engineClock = clock != nullptr ? clock : &g_systemClock;
  return previous;
}

}  // namespace launcher
