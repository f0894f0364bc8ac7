// What the file system says about a file without reading it: size, the two
// time stamps and the file's identity. The record of verified files compares
// stamps to tell whether a file can have changed since its digest was taken.
//
// Any thread; no state. One implementation per platform (file_stamp_posix.cc
// with stat, file_stamp_win32.cc with GetFileInformationByHandle).
#pragma once

#include <cstdint>
#include <filesystem>

namespace launcher {

struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t modifiedNs = 0;  // last change of the content, ns since 1970
  std::int64_t changedNs = 0;   // last change of the content or the metadata
  std::uint64_t fileId = 0;     // inode number / file index
  std::uint64_t volumeId = 0;   // device / volume serial number

  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// Stamp of the regular file at `path`, not following a symbolic link in the
// last component. False when the file is missing, is not a regular file or
// cannot be queried.
bool ReadFileStamp(const std::filesystem::path& path, FileStamp& stamp);

// The current time on the clock the file system stamps files with, in ns
// since 1970.
std::int64_t FileClockNowNs();

}  // namespace launcher
