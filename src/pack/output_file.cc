#include "pack/output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace launcher {
namespace {

constexpr std::size_t kBufferSize = 256 * 1024;

std::atomic<unsigned> g_sequence{0};

}  // namespace

OutputFile::OutputFile(const std::filesystem::path& target) : target_(target) {
  if (target.empty() || !target.has_filename()) return;
  // Mode 0666 lets the umask decide, as for any other file the program makes.
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    // A short name of its own rather than the target's name plus a suffix,
    // which could pass the file-name length limit.
    char name[64];
    std::snprintf(name, sizeof name, ".pack-%ld-%u.tmp", static_cast<long>(::getpid()),
                  g_sequence.fetch_add(1));
    temporary_ = target_.parent_path() / name;
    fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0 && errno != EEXIST) break;
  }
  if (fd_ >= 0) buffer_.reserve(kBufferSize);
}

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::Write(const void* data, std::size_t size) {
  if (fd_ < 0 || failed_) return false;
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const std::size_t n = std::min(size, kBufferSize - buffer_.size());
    buffer_.append(bytes, n);
    bytes += n;
    size -= n;
    if (buffer_.size() == kBufferSize && !Flush()) return false;
  }
  return true;
}

bool OutputFile::Flush() {
  std::size_t done = 0;
  while (done < buffer_.size()) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  buffer_.clear();
  return true;
}

bool OutputFile::Commit() {
  if (fd_ < 0 || failed_ || !Flush()) {
    Discard();
    return false;
  }
  // The rename must not reach the disk before the data: otherwise a crash
  // could leave the target name on an empty or partial file.
  const bool synced = ::fdatasync(fd_) == 0;
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  if (!synced || !closed || ::rename(temporary_.c_str(), target_.c_str()) != 0) {
    ::unlink(temporary_.c_str());
    return false;
  }
  return true;
}

void OutputFile::Discard() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  ::unlink(temporary_.c_str());
}

}  // namespace launcher
