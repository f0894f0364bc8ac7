// A regular file opened for reading. Anything else (a directory, a device, a
// FIFO) is refused without blocking: the open is non-blocking, so a FIFO
// planted in place of a file cannot hang the worker. The descriptor is
// close-on-exec and closed with the object. On Windows the file is opened
// through its UTF-16 long name (CreateFileW) and shared with readers,
// writers and renames, as the C runtime's streams share it.
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

  bool is_open() const { return fd_ != kNone; }
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
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t fd_ = kNone;  // a descriptor, or a HANDLE on Windows
  std::uint64_t size_ = 0;
};

}  // namespace launcher
