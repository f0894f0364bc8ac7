// FakeClock: an engine clock in simulated time. Sleep advances the time at
// once, so the 10 s / 20 s retry timing of the update runs in milliseconds.
// The wall clock is the system's, moved by an offset the test sets (a date
// past a statement's expiry, a clock an hour off).
// Thread-safe (atomics). Install it with ScopedEngineClock.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/clock.h"

namespace launcher::testing {

class FakeClock : public Clock {
 public:
  explicit FakeClock(std::uint32_t start = 1000) : now_(start) {}

  std::uint32_t TickCount() override { return now_.load(); }
  void Sleep(std::uint32_t milliseconds) override {
    now_.fetch_add(milliseconds);
    slept_.fetch_add(milliseconds);
    sleeps_.fetch_add(1);
  }

  std::int64_t UnixTime() override { return SystemUnixTime() + wallOffset_.load(); }
  // Sets the wall clock `seconds` away from the system's.
  void SetWallOffset(std::int64_t seconds) { wallOffset_.store(seconds); }

  // Moves the time on without counting a sleep (time spent working).
  void Advance(std::uint32_t milliseconds) { now_.fetch_add(milliseconds); }
  std::uint64_t TotalSleptMs() const { return slept_.load(); }
  int SleepCount() const { return sleeps_.load(); }

 private:
  std::atomic<std::uint32_t> now_;
  std::atomic<std::uint64_t> slept_{0};
  std::atomic<int> sleeps_{0};
  std::atomic<std::int64_t> wallOffset_{0};
};

// Makes `clock` the engine clock for the lifetime of the object, then puts
// back the clock it replaced (so scopes nest).
class ScopedEngineClock {
 public:
  explicit ScopedEngineClock(Clock* clock) : previous_(SetEngineClock(clock)) {}
  ~ScopedEngineClock() { SetEngineClock(previous_); }
  ScopedEngineClock(const ScopedEngineClock&) = delete;
  ScopedEngineClock& operator=(const ScopedEngineClock&) = delete;

 private:
  Clock* previous_;
};

}  // namespace launcher::testing
