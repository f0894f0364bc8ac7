// Named system-wide locks: the named mutexes that mark a running launcher
// ("QuillmereLauncherExist") and a running patcher ("QuillmerePatcherExist").
//
// On Windows a lock is the named mutex itself (CreateMutexW, not initially
// owned, in the session's namespace): whoever created it holds it while the
// handle is open, and another creation reports ERROR_ALREADY_EXISTS.
//
// On Linux a lock is a file named after the lock in the user's runtime
// directory ($XDG_RUNTIME_DIR, or a private per-user directory under $TMPDIR
// or /tmp when that is unset), held with flock(2) by the running program.
// docs/linux-conventions.md gives the exact rule for other programs.
//
// Either way the system releases it when the process ends, however it ends.
//
// Threading: every function may be called from any thread. A NamedLock object
// is owned by whoever acquired it; destroying it releases the lock.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace launcher {

class NamedLock {
 public:
  enum class Outcome {
    kAcquired,       // the caller now holds the lock
    kHeldElsewhere,  // another holder has it
    kUnavailable,    // no trustworthy lock directory, or a bad name
  };

  // Takes the lock for the lifetime of the object; null when another process
  // holds it or the lock file cannot be used (`outcome`, when given, tells
  // which). The descriptor is close-on-exec, so started programs do not
  // inherit it. Two objects of one process exclude each other as well.
  static std::unique_ptr<NamedLock> TryAcquire(std::string_view name, Outcome* outcome = nullptr);
  // True when the lock is held (by another process, or by a NamedLock of this
  // one). Never keeps it and never creates the lock file; false when that
  // cannot be told (missing or untrusted directory).
  static bool IsHeld(std::string_view name);
  // The lock file's path for `name`, from the environment alone (the
  // directory is neither created nor checked). Empty for a name that is not
  // a plain file name, and always empty on Windows, where no file is used.
  static std::string LockFilePath(std::string_view name);

  ~NamedLock();
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

 private:
#ifdef _WIN32
  using Native = void*;  // the mutex handle
#else
  using Native = int;  // the locked file's descriptor
#endif
  explicit NamedLock(Native native) : native_(native) {}
  Native native_;
};

}  // namespace launcher
