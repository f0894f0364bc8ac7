#include <sys/stat.h>
#include <time.h>

#include "platform/file_stamp.h"

namespace launcher {
namespace {

std::int64_t Nanoseconds(const struct timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

bool ReadFileStamp(const std::filesystem::path& path, FileStamp& stamp) {
  if (path.empty()) return false;
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  stamp.size = static_cast<std::uint64_t>(info.st_size);
  stamp.modifiedNs = Nanoseconds(info.st_mtim);
  stamp.changedNs = Nanoseconds(info.st_ctim);
  stamp.fileId = static_cast<std::uint64_t>(info.st_ino);
  stamp.volumeId = static_cast<std::uint64_t>(info.st_dev);
  return true;
}

std::int64_t FileClockNowNs() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return Nanoseconds(now);
}

}  // namespace launcher
