#include "platform/clock.h"

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

Clock& EngineClock() { return *g_engineClock; }

Clock* SetEngineClock(Clock* clock) {
  Clock* previous = g_engineClock;
  g_engineClock = clock != nullptr ? clock : &g_systemClock;
  return previous;
}

}  // namespace launcher
