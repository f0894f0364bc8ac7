#include "pack/output_file.h"

#include <algorithm>

namespace launcher {
namespace {

constexpr std::size_t kBufferSize = 256 * 1024;

}  // namespace

OutputFile::OutputFile(const std::filesystem::path& target) : replacement_(target) {
  if (replacement_.is_open()) buffer_.reserve(kBufferSize);
}

bool OutputFile::Write(const void* data, std::size_t size) {
  if (!replacement_.is_open() || failed_) return false;
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
  if (!replacement_.file().Write(buffer_.data(), buffer_.size())) failed_ = true;
  buffer_.clear();
  // The disk starts on the data now, while the rest is produced, instead of
  // all at once when the file is synced.
  if (!failed_) replacement_.file().StartWriteback();
  return !failed_;
}

bool OutputFile::Commit(Durability durability) {
  // A decompressed file is installed by renaming it, and must not reach its
  // place empty after a power cut: it is synced here, or (kAtomic) by the
  // caller before the rename that installs it.
  return replacement_.is_open() && !failed_ && Flush() && replacement_.Commit(durability);
}

}  // namespace launcher
