#include "platform/named_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace launcher {
namespace {

constexpr int kAcquireAttempts = 4;
constexpr long kAcquireRetryNs = 5'000'000;  // 5 ms

struct LockDirectory {
  std::string path;
  bool fallback = false;  // the private directory under $TMPDIR or /tmp
};

bool IsAbsolute(const char* value) { return value != nullptr && value[0] == '/'; }

LockDirectory ChooseLockDirectory() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (IsAbsolute(runtime)) return {runtime, false};
  const char* tmp = std::getenv("TMPDIR");
  std::string base = IsAbsolute(tmp) ? tmp : "/tmp";
  while (!base.empty() && base.back() == '/') base.pop_back();
  return {base + "/quillmere-" + std::to_string(geteuid()), true};
}

bool IsPlainName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Opens the lock directory, creating the private fallback directory when
// asked. The directory must belong to this user and be writable by nobody
// else: anyone who can write there could hold our locks or plant a link in
// place of a lock file. The checks run on the opened descriptor, so the
// directory cannot be swapped between check and use.
int OpenLockDirectory(bool create) {
  LockDirectory dir = ChooseLockDirectory();
  if (dir.fallback && create) {
    if (::mkdir(dir.path.c_str(), 0700) != 0 && errno != EEXIST) return -1;
  }
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  // A user's runtime directory may legitimately be reached through a link;
  // the fallback under a shared directory may not.
  if (dir.fallback) flags |= O_NOFOLLOW;
  Fd fd(::open(dir.path.c_str(), flags));
  if (fd.get() < 0) return -1;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return -1;
  const mode_t forbidden = dir.fallback ? mode_t{077} : mode_t{022};
  if ((st.st_mode & forbidden) != 0) return -1;
  return fd.release();
}

std::string LockFileName(std::string_view name) { return std::string(name) + ".lock"; }

int FlockRetryingSignals(int fd, int operation) {
  int rc;
  do {
    rc = ::flock(fd, operation);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

}  // namespace

std::string NamedLock::LockFilePath(std::string_view name) {
  if (!IsPlainName(name)) return {};
  return ChooseLockDirectory().path + "/" + LockFileName(name);
}

std::unique_ptr<NamedLock> NamedLock::TryAcquire(std::string_view name, Outcome* outcome) {
  Outcome ignored;
  Outcome& result = outcome != nullptr ? *outcome : ignored;
  result = Outcome::kUnavailable;
  if (!IsPlainName(name)) return nullptr;
  Fd dir(OpenLockDirectory(true));
  if (dir.get() < 0) return nullptr;
  Fd fd(::openat(dir.get(), LockFileName(name).c_str(),
                 O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
  if (fd.get() < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;

  // A probe (IsHeld) holds a shared lock for a few microseconds; a short
  // retry keeps such a probe from being mistaken for a running holder.
  for (int attempt = 1;; ++attempt) {
    if (FlockRetryingSignals(fd.get(), LOCK_EX | LOCK_NB) == 0) {
      result = Outcome::kAcquired;
      return std::unique_ptr<NamedLock>(new NamedLock(fd.release()));
    }
    if (errno != EWOULDBLOCK) return nullptr;
    if (attempt == kAcquireAttempts) break;
    timespec pause{0, kAcquireRetryNs};
    ::nanosleep(&pause, nullptr);
  }
  result = Outcome::kHeldElsewhere;
  return nullptr;
}

bool NamedLock::IsHeld(std::string_view name) {
  if (!IsPlainName(name)) return false;
  Fd dir(OpenLockDirectory(false));
  if (dir.get() < 0) return false;
  Fd fd(::openat(dir.get(), LockFileName(name).c_str(),
                 O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.get() < 0) return false;  // never created: nobody holds it
  // A shared lock so that two probes never see each other as a holder.
  if (FlockRetryingSignals(fd.get(), LOCK_SH | LOCK_NB) == 0) {
    ::flock(fd.get(), LOCK_UN);
    return false;
  }
  return errno == EWOULDBLOCK;
}

NamedLock::~NamedLock() {
  // Closing the only descriptor of the open file releases the flock.
  ::close(native_);
}

}  // namespace launcher
