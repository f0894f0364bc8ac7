#include "files/regular_file.h"

namespace launcher {

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
