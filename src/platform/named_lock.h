// Named system-wide locks: the Linux form of the named mutexes that mark a
// running launcher ("QuillmereLauncherExist") and a running patcher
// ("QuillmerePatcherExist"). A lock is a file named after the lock in the
// user's runtime directory ($XDG_RUNTIME_DIR, or a private per-user directory
// under /tmp when that is unset), held with flock(2) by the running program;
// the kernel releases it when the process ends, however it ends.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace launcher {

class NamedLock {
 public:
  // Takes the lock for the lifetime of the object; null when another process
  // holds it. The descriptor is close-on-exec, so started programs do not
  // inherit it.
  static std::unique_ptr<NamedLock> TryAcquire(std::string_view name);
  // True when another process holds the lock. Never keeps it.
  static bool IsHeld(std::string_view name);
  // The lock file's path for `name`.
  static std::string LockFilePath(std::string_view name);

  ~NamedLock();
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

 private:
  explicit NamedLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace launcher
