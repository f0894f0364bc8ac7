#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "platform/mapped_file.h"

namespace launcher {

MappedFile::~MappedFile() { Release(); }

bool MappedFile::MapWhole(bool writable) {
  if (size_ == 0) return true;  // nothing to map; data() stays null
  if (size_ > std::numeric_limits<std::size_t>::max()) return false;
  const int protection = writable ? PROT_READ | PROT_WRITE : PROT_READ;
  void* address = ::mmap(nullptr, static_cast<std::size_t>(size_), protection, MAP_SHARED,
                         static_cast<int>(file_), 0);
  if (address == MAP_FAILED) return false;
  data_ = static_cast<unsigned char*>(address);
  return true;
}

bool MappedFile::OpenRead(const std::filesystem::path& path) {
  Release();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  file_ = fd;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    Release();
    return false;
  }
  size_ = static_cast<std::uint64_t>(info.st_size);
  if (!MapWhole(false)) {
    Release();
    return false;
  }
  open_ = true;
  return true;
}

bool MappedFile::CreateNew(const std::filesystem::path& path, std::uint64_t size, unsigned mode,
                           bool& exists) {
  Release();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  exists = fd < 0 && errno == EEXIST;
  if (fd < 0) return false;
  file_ = fd;
  size_ = size;
  writable_ = true;
  // A page written through a mapping of a sparse file gets its block only
  // at writeback, where a full disk can no longer be reported: the space is
  // taken now (the C library writes zeros where the file system cannot
  // reserve).
  bool ok = size == 0 || ::posix_fallocate(fd, 0, static_cast<off_t>(size)) == 0;
  ok = ok && MapWhole(true);
  if (!ok) {
    const int saved = errno;
    Release();
    ::unlink(path.c_str());
    errno = saved;
    return false;
  }
  open_ = true;
  return true;
}

void MappedFile::StartWriteback(std::uint64_t offset, std::uint64_t length) {
#if defined(__linux__)
  if (open_ && writable_ && length > 0) {
    ::sync_file_range(static_cast<int>(file_), static_cast<off_t>(offset),
                      static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
  }
#else
  (void)offset;
  (void)length;
#endif
}

// A page written through a shared mapping is dirty in the page cache from
// its first write (the kernel write-protects clean pages to learn of it), so
// fdatasync writes it like any other; an msync first would wait twice.
bool MappedFile::Sync() { return open_ && writable_ && ::fdatasync(static_cast<int>(file_)) == 0; }

void MappedFile::AdviseSequential() {
  if (data_ != nullptr) ::madvise(data_, static_cast<std::size_t>(size_), MADV_SEQUENTIAL);
}

bool MappedFile::Close() {
  bool ok = open_;
  if (data_ != nullptr && ::munmap(data_, static_cast<std::size_t>(size_)) != 0) ok = false;
  data_ = nullptr;
  if (file_ >= 0 && ::close(static_cast<int>(file_)) != 0) ok = false;
  file_ = -1;
  open_ = writable_ = false;
  size_ = 0;
  return ok;
}

void MappedFile::Release() {
  const int saved = errno;
  Close();
  errno = saved;
}

}  // namespace launcher
