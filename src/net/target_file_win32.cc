#include <windows.h>

#include "net/target_file.h"
#include "platform/long_path.h"

namespace launcher {
namespace {

HANDLE AsHandle(std::intptr_t fd) { return reinterpret_cast<HANDLE>(fd); }

// Readers (the digest of a finished file) and renames may meet the file
// while it is open.
constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

bool TargetFile::Create(const std::filesystem::path& path) {
  Close();
  const std::wstring name = LongPath(path);
  const DWORD attributes = ::GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      // A link planted where the target belongs would have the download
      // written wherever it points: the name is ours, so the link goes.
      const bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                               ? ::RemoveDirectoryW(name.c_str()) != 0
                               : ::DeleteFileW(name.c_str()) != 0;
      if (!removed) return false;
    } else if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      // A read-only target is overwritten, as the installed files it
      // replaces may carry that mark.
      ::SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
  }
  HANDLE file = ::CreateFileW(name.c_str(), GENERIC_WRITE, kShare, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  fd_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool TargetFile::OpenForUpdate(const std::filesystem::path& path) {
  Close();
  // Resuming never writes through a link: the open refuses one.
  HANDLE file = ::CreateFileW(LongPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileInformationByHandle(file, &info) == 0 ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    ::CloseHandle(file);
    return false;
  }
  fd_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool TargetFile::WriteAt(std::int64_t offset, std::string_view bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  auto at = static_cast<std::uint64_t>(offset);
  while (left > 0) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    position.OffsetHigh = static_cast<DWORD>(at >> 32);
    const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD written = 0;
    if (::WriteFile(AsHandle(fd_), data, chunk, &written, &position) == 0 || written == 0) {
      return false;
    }
    data += written;
    left -= written;
    at += written;
  }
  return true;
}

std::int64_t TargetFile::ReadAt(std::int64_t offset, char* buffer, std::size_t size) const {
  std::size_t done = 0;
  while (done < size) {
    const auto at = static_cast<std::uint64_t>(offset) + done;
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    position.OffsetHigh = static_cast<DWORD>(at >> 32);
    const std::size_t left = size - done;
    const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD read = 0;
    if (::ReadFile(AsHandle(fd_), buffer + done, chunk, &read, &position) == 0) {
      if (::GetLastError() == ERROR_HANDLE_EOF) break;
      return -1;
    }
    if (read == 0) break;
    done += read;
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t TargetFile::Size() const {
  LARGE_INTEGER size{};
  if (!is_open() || ::GetFileSizeEx(AsHandle(fd_), &size) == 0) return -1;
  return static_cast<std::int64_t>(size.QuadPart);
}

bool TargetFile::Truncate(std::int64_t length) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = length;
  return is_open() &&
         ::SetFileInformationByHandle(AsHandle(fd_), FileEndOfFileInfo, &end, sizeof end) != 0;
}

void TargetFile::Close() {
  if (is_open()) ::CloseHandle(AsHandle(fd_));
  fd_ = kNone;
}

}  // namespace launcher
