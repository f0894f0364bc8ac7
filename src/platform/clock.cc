#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace launcher {
namespace {

class SystemClock final : public Clock {
 public:
  std::uint32_t TickCount() override {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    return static_cast<std::uint32_t>(ms);
  }
  void Sleep(std::uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
};

SystemClock g_systemClock;
Clock* g_engineClock = &g_systemClock;

}  // namespace

Clock& EngineClock() { return *g_engineClock; }

void SetEngineClock(Clock* clock) { g_engineClock = clock != nullptr ? clock : &g_systemClock; }

}  // namespace launcher
