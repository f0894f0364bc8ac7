// A regular file opened for reading. Anything else (a directory, a device, a
// FIFO) is refused without blocking: the open is non-blocking, so a FIFO
// planted in place of a file cannot hang the worker. The descriptor is
// close-on-exec and closed with the object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace launcher {

class RegularFile {
 public:
  explicit RegularFile(std::u16string_view path);
  ~RegularFile();
  RegularFile(const RegularFile&) = delete;
  RegularFile& operator=(const RegularFile&) = delete;

  bool is_open() const { return fd_ >= 0; }
  // Size when opened.
  std::uint64_t size() const { return size_; }
  // Tells the kernel the file will be read once from start to end.
  void AdviseSequential();
  // One read of up to `capacity` bytes: 0 at the end, -1 on an error.
  std::int64_t ReadSome(void* buffer, std::size_t capacity);
  // Reads until `capacity` bytes are in or the file ends: a short count
  // means the end. -1 on an error.
  std::int64_t ReadFull(void* buffer, std::size_t capacity);

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

}  // namespace launcher
