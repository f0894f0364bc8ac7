#include "files/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "files/utf16.h"

namespace launcher {

RegularFile::RegularFile(std::u16string_view path) {
  if (path.empty()) return;
  const int fd = ::open(ToPath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat info {};
  if (fd < 0) return;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return;
  }
  fd_ = fd;
  size_ = static_cast<std::uint64_t>(info.st_size);
}

RegularFile::~RegularFile() {
  if (is_open()) ::close(static_cast<int>(fd_));
}

void RegularFile::AdviseSequential() {
  if (is_open()) ::posix_fadvise(static_cast<int>(fd_), 0, 0, POSIX_FADV_SEQUENTIAL);
}

std::int64_t RegularFile::ReadSome(void* buffer, std::size_t capacity) {
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(fd_), buffer, capacity);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

}  // namespace launcher
