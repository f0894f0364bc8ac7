#include "net/target_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace launcher {

bool TargetFile::Create(const std::filesystem::path& path) {
  Close();
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) {
      // A link planted where the target belongs would have the download
      // written (and the file it names truncated) wherever it points: the
      // name is ours, so the link goes and a plain file takes its place.
      if (unlink(path.c_str()) != 0) return false;
    } else if (S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0) {
      // A read-only target is overwritten, as the installed files it
      // replaces may carry that mark.
      chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR);
    }
  }
  fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  return is_open();
}

bool TargetFile::OpenForUpdate(const std::filesystem::path& path) {
  Close();
  // Resuming never writes through a link: the open fails instead.
  fd_ = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  return is_open();
}

bool TargetFile::WriteAt(std::int64_t offset, std::string_view bytes) {
  const char* data = bytes.data();
  size_t left = bytes.size();
  auto at = static_cast<off_t>(offset);
  while (left > 0) {
    const ssize_t n = pwrite(static_cast<int>(fd_), data, left, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    left -= static_cast<size_t>(n);
    at += n;
  }
  return true;
}

std::int64_t TargetFile::ReadAt(std::int64_t offset, char* buffer, std::size_t size) const {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = pread(static_cast<int>(fd_), buffer + done, size - done,
                            static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t TargetFile::Size() const {
  struct stat st;
  if (fstat(static_cast<int>(fd_), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

bool TargetFile::Truncate(std::int64_t length) {
  return ftruncate(static_cast<int>(fd_), static_cast<off_t>(length)) == 0;
}

void TargetFile::Close() {
  if (is_open()) close(static_cast<int>(fd_));
  fd_ = kNone;
}

}  // namespace launcher
