// The engine's clock: a millisecond tick count, a sleep and the wall-clock
// time, behind one small interface so that tests can run the pauses and
// retry timing of the update in simulated time and set the date (an expired
// release statement, a player's clock an hour off). Production code uses the
// steady system clock and the system's time of day.
#pragma once

#include <cstdint>

namespace launcher {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary start; wraps modulo 2^32 like a tick count.
  virtual std::uint32_t TickCount() = 0;
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  // Seconds since 1970-01-01 00:00:00 UTC, as the system's clock says.
  virtual std::int64_t UnixTime() { return SystemUnixTime(); }

 protected:
  static std::int64_t SystemUnixTime();
};

// The process-wide clock used by the engine. Never null.
Clock& EngineClock();
// Replaces the engine clock (tests) and returns the clock it replaced, for
// putting it back; nullptr installs the system clock. The caller keeps the
// clock alive while it is installed. Not thread-safe: call while no worker
// runs.
Clock* SetEngineClock(Clock* clock);

// Passes every call on to another clock, which it does not own: a test
// derives from it and overrides only what it changes, say Sleep, while the
// time stays the other clock's.
class ForwardingClock : public Clock {
 public:
  explicit ForwardingClock(Clock& target) : target_(target) {}
  std::uint32_t TickCount() override { return target_.TickCount(); }
  void Sleep(std::uint32_t milliseconds) override { target_.Sleep(milliseconds); }
  std::int64_t UnixTime() override { return target_.UnixTime(); }

 private:
  Clock& target_;
};

// The system's own tick and sleep, which the default engine clock uses
// (GetTickCount and Sleep on Windows, the steady clock on Linux).
std::uint32_t SystemTickCount();
void SystemSleep(std::uint32_t milliseconds);

// The wall-clock time in the local time zone (GetLocalTime on Windows), for
// the logs' time stamps. Month 1..12, day 1..31.
struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
LocalTime LocalTimeNow();

// Convenience for engine code.
inline void SleepMs(std::uint32_t milliseconds) { EngineClock().Sleep(milliseconds); }

}  // namespace launcher
