// One launcher per session on Windows: the first launcher holds the named
// mutex "QuillmereLauncherExist" for its whole life; a second launcher finds
// it taken, brings the first one's window up and ends.
//
// Threading: main thread only, before the window exists.
#pragma once

#include <memory>

#include "platform/named_lock.h"

namespace launcher::win32 {

inline constexpr char kLauncherMutexName[] = "QuillmereLauncherExist";

class SingleInstance {
 public:
  // Takes the mutex. Without it (another launcher holds it) this process is
  // the second one.
  SingleInstance();
  bool IsSecond() const { return second_; }

 private:
  bool second_ = false;
  std::unique_ptr<NamedLock> lock_;
};

// Finds the running launcher's window by its class and title, shows it in
// its normal state (restored when minimised, shown again when the hand-off
// has hidden it) and makes it the foreground window. False when there is no
// such window yet (the first launcher may still be starting up).
bool ShowRunningLauncher();

}  // namespace launcher::win32
