#include <windows.h>

#include "files/regular_file.h"
#include "files/utf16.h"
#include "platform/long_path.h"

namespace launcher {

RegularFile::RegularFile(std::u16string_view path) {
  if (path.empty()) return;
  HANDLE file = ::CreateFileW(LongPath(ToPath(path)).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;  // a directory does not open this way
  LARGE_INTEGER size{};
  if (::GetFileType(file) != FILE_TYPE_DISK || ::GetFileSizeEx(file, &size) == 0) {
    ::CloseHandle(file);
    return;
  }
  fd_ = reinterpret_cast<std::intptr_t>(file);
  size_ = static_cast<std::uint64_t>(size.QuadPart);
}

RegularFile::~RegularFile() {
  if (is_open()) ::CloseHandle(reinterpret_cast<HANDLE>(fd_));
}

// The system reads ahead on its own; FILE_FLAG_SEQUENTIAL_SCAN would have to
// be given at the open.
void RegularFile::AdviseSequential() {}

std::int64_t RegularFile::ReadSome(void* buffer, std::size_t capacity) {
  const DWORD chunk = capacity > (1u << 30) ? (1u << 30) : static_cast<DWORD>(capacity);
  DWORD n = 0;
  if (::ReadFile(reinterpret_cast<HANDLE>(fd_), buffer, chunk, &n, nullptr) == 0) return -1;
  return static_cast<std::int64_t>(n);
}

}  // namespace launcher
