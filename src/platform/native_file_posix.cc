#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "platform/native_file.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace launcher {
namespace {

std::atomic<bool> g_noReplaceUnsupported{false};

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Sets or clears O_DIRECT on an open descriptor; false where the system or
// the file system refuses.
bool SetDirect(int fd, bool on) {
#ifdef O_DIRECT
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  const int wanted = on ? (flags | O_DIRECT) : (flags & ~O_DIRECT);
  return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
#else
  (void)fd;
  return !on;
#endif
}

bool CopyContents(int in, int out) {
  // copy_file_range lets the kernel (or the file system) do the copy; where
  // it is refused, plain reads and writes go on from the same offsets.
  for (;;) {
    const ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
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
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (!WriteAll(out, buffer, static_cast<std::size_t>(n))) return false;
  }
}

bool RenameNoReplaceSyscall(const char* from, const char* to) {
  if (g_noReplaceUnsupported.load()) {
    errno = EINVAL;  // what a file system without the flag answers
    return false;
  }
  return syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0;
}

// Renames unless `to` exists. Sets errno on failure.
bool RenameWithoutReplacing(const char* from, const char* to) {
  if (RenameNoReplaceSyscall(from, to)) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
  // The file system cannot rename without replacing: link the new name
  // (which refuses an existing target) and drop the old one.
  if (::link(from, to) == 0) {
    if (::unlink(from) == 0) return true;
    const int saved = errno;
    ::unlink(to);
    errno = saved;
    return false;
  }
  if (errno == EEXIST || errno == ENOENT || errno == EXDEV) return false;
  // No hard links here (or a directory): check, then rename. Not atomic, but
  // the worker is the only writer of these trees.
  struct stat info {};
  if (::lstat(to, &info) == 0) {
    errno = EEXIST;
    return false;
  }
  return std::rename(from, to) == 0;
}

}  // namespace

NativeFile::~NativeFile() {
  if (is_open()) ::close(static_cast<int>(handle_));
}

bool NativeFile::CreateNew(const std::filesystem::path& path, unsigned mode, bool& exists) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  exists = fd < 0 && errno == EEXIST;
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

bool NativeFile::Write(const void* data, std::size_t size) {
  if (!is_open()) return false;
  // An unaligned piece (the end of a file written in bulk) goes through the
  // page cache.
  if (direct_ && !SetDirect(static_cast<int>(handle_), false)) return false;
  direct_ = false;
  return WriteAll(static_cast<int>(handle_), static_cast<const char*>(data), size);
}

bool NativeFile::WriteBulk(const void* data, std::size_t size) {
  if (!is_open()) return false;
  const int fd = static_cast<int>(handle_);
  if (!direct_ && !noDirect_) {
    direct_ = SetDirect(fd, true);
    noDirect_ = !direct_;
  }
  if (!direct_) return WriteAll(fd, static_cast<const char*>(data), size);
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EINVAL && bytes == data) {
      // The file system takes no unbuffered writes of this alignment, and
      // none was made: the rest of the file goes through the cache.
      noDirect_ = true;
      return Write(data, size);
    }
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
    // A short unbuffered write leaves an unaligned rest: Write takes it.
    if (size > 0 && static_cast<std::size_t>(n) % kBulkAlignment != 0) return Write(bytes, size);
  }
  return true;
}

bool NativeFile::CopyFrom(const std::filesystem::path& source) {
  if (!is_open()) return false;
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat info {};
  bool ok = ::fstat(in, &info) == 0 && S_ISREG(info.st_mode) &&
            CopyContents(in, static_cast<int>(handle_));
  ::close(in);
  return ok && SetMode(info.st_mode & 07777);
}

bool NativeFile::SetMode(unsigned mode) {
  return is_open() && ::fchmod(static_cast<int>(handle_), mode) == 0;
}

bool NativeFile::SyncData() { return is_open() && ::fdatasync(static_cast<int>(handle_)) == 0; }

void NativeFile::StartWriteback() {
#if defined(__linux__)
  if (is_open() && !direct_)
    ::sync_file_range(static_cast<int>(handle_), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

bool NativeFile::Close() {
  if (!is_open()) return false;
  const int fd = static_cast<int>(handle_);
  handle_ = kNone;
  return ::close(fd) == 0;
}

bool RenameReplacing(const std::filesystem::path& from, const std::filesystem::path& to,
                     bool /*writeThrough: the caller syncs the directory*/, bool* crossDevice) {
  const bool renamed = std::rename(from.c_str(), to.c_str()) == 0;
  if (crossDevice != nullptr) *crossDevice = !renamed && errno == EXDEV;
  return renamed;
}

bool RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to,
                     bool* crossDevice) {
  const bool renamed = RenameWithoutReplacing(from.c_str(), to.c_str());
  if (crossDevice != nullptr) *crossDevice = !renamed && errno == EXDEV;
  return renamed;
}

bool SyncDirectory(const std::filesystem::path& directory) {
  const char* name = directory.empty() ? "." : directory.c_str();
  const int fd = ::open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

bool SyncFileData(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  const bool synced = ::fdatasync(fd) == 0;
  ::close(fd);
  return synced;
}

bool RemoveNativeFile(const std::filesystem::path& path) { return ::unlink(path.c_str()) == 0; }

void ClearFileAttributesNative(const std::filesystem::path& path) {
  // A symbolic link is never followed: chmod would change the mode of
  // whatever it names. fchmodat without following refuses a link that
  // appears between the two calls.
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) return;
  if ((info.st_mode & S_IWUSR) == 0) {
    ::fchmodat(AT_FDCWD, path.c_str(), (info.st_mode & 07777) | S_IWUSR, AT_SYMLINK_NOFOLLOW);
  }
}

std::int64_t NativeFileSize(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat info {};
  // A directory is not a file whose size can be read.
  const bool ok = ::fstat(fd, &info) == 0 && !S_ISDIR(info.st_mode);
  ::close(fd);
  return ok ? static_cast<std::int64_t>(info.st_size) : -1;
}

FileKind FileKindNoFollow(const std::filesystem::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return FileKind::kMissing;
  if (S_ISLNK(info.st_mode)) return FileKind::kLink;
  if (S_ISDIR(info.st_mode)) return FileKind::kDirectory;
  if (S_ISREG(info.st_mode)) return FileKind::kRegular;
  return FileKind::kOther;
}

bool CreateDirectoryNative(const std::filesystem::path& path) {
  return ::mkdir(path.c_str(), 0777) == 0;
}

bool RemoveDirectoryNative(const std::filesystem::path& path) { return ::rmdir(path.c_str()) == 0; }

bool OverwriteFileStart(
    const std::filesystem::path& path,
    const std::function<bool(std::uint64_t size, std::string& bytes)>& prepare) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat info {};
  std::string bytes;
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
            prepare(static_cast<std::uint64_t>(info.st_size), bytes);
  if (ok) ok = ::pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
  ::close(fd);
  return ok;
}

std::FILE* OpenStdioFile(const std::filesystem::path& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

long CurrentProcessId() { return static_cast<long>(::getpid()); }

void SimulateRenameNoReplaceUnsupportedForTesting(bool unsupported) {
  g_noReplaceUnsupported.store(unsupported);
}

}  // namespace launcher
