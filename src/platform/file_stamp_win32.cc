#include <windows.h>

#include "platform/file_stamp.h"

namespace launcher {
namespace {

// FILETIME counts 100 ns steps since 1601; the stamps count ns since 1970.
constexpr std::int64_t kEpochDifference = 116444736000000000LL;

std::int64_t Nanoseconds(std::int64_t fileTime) { return (fileTime - kEpochDifference) * 100; }

std::int64_t Join(DWORD high, DWORD low) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) | low);
}

}  // namespace

bool ReadFileStamp(const std::filesystem::path& path, FileStamp& stamp) {
  if (path.empty()) return false;
  // No access is asked for: the stamp of a file another program holds open
  // for writing can still be read. A reparse point is opened itself, not
  // followed, and refused below.
  const HANDLE file = ::CreateFileW(
      path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  FILE_BASIC_INFO basic{};
  const bool ok =
      ::GetFileInformationByHandle(file, &info) != 0 &&
      ::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) != 0 &&
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
  ::CloseHandle(file);
  if (!ok) return false;
  stamp.size = static_cast<std::uint64_t>(Join(info.nFileSizeHigh, info.nFileSizeLow));
  stamp.modifiedNs =
      Nanoseconds(Join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime));
  stamp.changedNs = Nanoseconds(basic.ChangeTime.QuadPart);
  stamp.fileId = static_cast<std::uint64_t>(Join(info.nFileIndexHigh, info.nFileIndexLow));
  stamp.volumeId = info.dwVolumeSerialNumber;
  return true;
}

std::int64_t FileClockNowNs() {
  FILETIME now{};
  ::GetSystemTimePreciseAsFileTime(&now);
  return Nanoseconds(Join(now.dwHighDateTime, now.dwLowDateTime));
}

}  // namespace launcher
