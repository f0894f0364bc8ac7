#include "files/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

#include "files/string_table.h"
#include "files/utf16.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace launcher {
namespace {

std::string Native(std::u16string_view path) { return ToPath(path).string(); }

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded.
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }

 private:
  int fd_;
};

std::atomic<bool> g_noReplaceUnsupported{false};

bool RenameNoReplaceSyscall(const std::string& source, const std::string& target) {
  if (g_noReplaceUnsupported.load()) {
    errno = EINVAL;  // what a file system without the flag answers
    return false;
  }
  return syscall(SYS_renameat2, AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(),
                 RENAME_NOREPLACE) == 0;
}

// Renames source to target unless target exists. Sets errno on failure.
bool RenameNoReplace(const std::string& source, const std::string& target) {
  if (RenameNoReplaceSyscall(source, target)) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
  // The file system cannot rename without replacing: link the new name
  // (which refuses an existing target) and drop the old one.
  if (link(source.c_str(), target.c_str()) == 0) {
    if (unlink(source.c_str()) == 0) return true;
    int saved = errno;
    unlink(target.c_str());
    errno = saved;
    return false;
  }
  if (errno == EEXIST || errno == ENOENT || errno == EXDEV) return false;
  // No hard links here (or a directory): check, then rename. Not atomic, but
  // the worker is the only writer of these trees.
  struct stat info {};
  if (lstat(target.c_str(), &info) == 0) {
    errno = EEXIST;
    return false;
  }
  return std::rename(source.c_str(), target.c_str()) == 0;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool CopyContents(int in, int out) {
  // copy_file_range lets the kernel (or the file system) do the copy; where
  // it is refused, plain reads and writes go on from the same offsets.
  for (;;) {
    ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (n == 0) return true;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
        errno != EBADF) {
      return false;
    }
    break;
  }
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (!WriteAll(out, buffer, static_cast<std::size_t>(n))) return false;
  }
}

// Copies the regular file `source` into a new temporary file in the
// directory of `target` and returns its name, or an empty string. The
// temporary file carries the source's permission bits.
std::string CopyToTempBeside(const std::string& source, const std::string& target) {
  Fd in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return {};
  struct stat info {};
  if (fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
  // A short name of its own in the target's directory: appending to the
  // target's name could pass the file system's name length limit.
  static std::atomic<unsigned> counter{0};
  std::size_t slash = target.rfind('/');
  std::string directory = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp =
        directory + ".copy-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".tmp";
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return {};
  }
  if (fd < 0) return {};
  Fd out(fd);
  bool ok = CopyContents(in.get(), out.get());
  ok = fchmod(out.get(), info.st_mode & 07777) == 0 && ok;
  ok = out.Close() && ok;
  if (!ok) {
    unlink(temp.c_str());
    return {};
  }
  return temp;
}

// A move between file systems: copy beside the target, put the copy in
// place without replacing anything, then remove the source.
bool MoveAcrossFileSystems(const std::string& source, const std::string& target) {
  std::string temp = CopyToTempBeside(source, target);
  if (temp.empty()) return false;
  if (!RenameNoReplace(temp, target)) {
    unlink(temp.c_str());
    return false;
  }
  if (unlink(source.c_str()) != 0) {
    // Both copies exist now; undo, so that a failed move changes nothing.
    unlink(target.c_str());
    return false;
  }
  return true;
}

}  // namespace

void SimulateRenameNoReplaceUnsupportedForTesting(bool unsupported) {
  g_noReplaceUnsupported.store(unsupported);
}

void ClearFileAttributes(std::u16string_view path) {
  std::string native = Native(path);
  struct stat info {};
  if (stat(native.c_str(), &info) != 0) return;
  if ((info.st_mode & S_IWUSR) == 0) chmod(native.c_str(), (info.st_mode & 07777) | S_IWUSR);
}

bool MoveFileLogged(std::u16string_view source, std::u16string_view target) {
  ClearFileAttributes(source);
  ClearFileAttributes(target);
  std::string from = Native(source);
  std::string to = Native(target);
  bool moved = RenameNoReplace(from, to) || (errno == EXDEV && MoveAcrossFileSystems(from, to));
  if (!moved) LogFileOperationFailure(MSG_MOVE_FAILED, source, target);
  return moved;
}

bool CopyFileLogged(std::u16string_view source, std::u16string_view target, int failIfExists) {
  ClearFileAttributes(target);
  std::string from = Native(source);
  std::string to = Native(target);
  // The copy is written under a temporary name and renamed over the target
  // only when complete, so a failed copy never leaves a half-written target
  // and the old target survives it.
  std::string temp = CopyToTempBeside(from, to);
  bool copied = !temp.empty();
  if (copied) {
    copied =
        failIfExists != 0 ? RenameNoReplace(temp, to) : std::rename(temp.c_str(), to.c_str()) == 0;
    if (!copied) unlink(temp.c_str());
  }
  if (!copied) LogFileOperationFailure(MSG_COPY_FAILED, source, target);
  return copied;
}

int DeleteFileForced(std::u16string_view path) {
  ClearFileAttributes(path);
  return unlink(Native(path).c_str()) == 0 ? 1 : 0;
}

std::int64_t QueryFileSize(std::u16string_view path) {
  Fd fd(open(Native(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return -1;
  struct stat info {};
  // A directory is not a file whose size can be read.
  if (fstat(fd.get(), &info) != 0 || S_ISDIR(info.st_mode)) return -1;
  return static_cast<std::int64_t>(info.st_size);
}

}  // namespace launcher
