#include "files/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "files/utf16.h"

namespace launcher {

RegularFile::RegularFile(std::u16string_view path) {
  if (path.empty()) return;
  fd_ = ::open(ToPath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat info {};
  if (fd_ >= 0 && (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode))) {
    ::close(fd_);
    fd_ = -1;
  }
  if (fd_ >= 0) size_ = static_cast<std::uint64_t>(info.st_size);
}

RegularFile::~RegularFile() {
  if (fd_ >= 0) ::close(fd_);
}

void RegularFile::AdviseSequential() {
  if (fd_ >= 0) ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

std::int64_t RegularFile::ReadSome(void* buffer, std::size_t capacity) {
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, capacity);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

std::int64_t RegularFile::ReadFull(void* buffer, std::size_t capacity) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t filled = 0;
  while (filled < capacity) {
    const std::int64_t n = ReadSome(bytes + filled, capacity - filled);
    if (n < 0) return -1;
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(filled);
}

}  // namespace launcher
