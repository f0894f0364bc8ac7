#include "pack/output_file.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace launcher {
namespace {

constexpr std::size_t kCachedBuffer = 256 * 1024;
// Unbuffered writes wait for the disk: fewer and larger ones keep it busy.
constexpr std::size_t kBulkBuffer = 1024 * 1024;
constexpr std::align_val_t kAlignment{NativeFile::kBulkAlignment};

}  // namespace

void OutputFile::AlignedFree::operator()(char* p) const { ::operator delete(p, kAlignment); }

OutputFile::OutputFile(const std::filesystem::path& target, Writes writes)
    : replacement_(target),
      writes_(writes),
      capacity_(writes == Writes::kBulk ? kBulkBuffer : kCachedBuffer) {
  if (replacement_.is_open()) {
    buffer_.reset(static_cast<char*>(::operator new(capacity_, kAlignment)));
  }
}

bool OutputFile::Write(const void* data, std::size_t size) {
  if (!replacement_.is_open() || failed_) return false;
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const std::size_t n = std::min(size, capacity_ - used_);
    std::memcpy(buffer_.get() + used_, bytes, n);
    used_ += n;
    bytes += n;
    size -= n;
    if (used_ == capacity_ && !FlushFull()) return false;
  }
  return true;
}

bool OutputFile::FlushFull() {
  NativeFile& file = replacement_.file();
  const bool written = writes_ == Writes::kBulk ? file.WriteBulk(buffer_.get(), used_)
                                                : file.Write(buffer_.get(), used_);
  used_ = 0;
  if (!written) failed_ = true;
  // The disk starts on cached data now, while the rest is produced, instead
  // of all at once when the file is synced.
  if (!failed_) file.StartWriteback();
  return !failed_;
}

bool OutputFile::FlushRest() {
  NativeFile& file = replacement_.file();
  if (used_ > 0 && !file.Write(buffer_.get(), used_)) failed_ = true;
  used_ = 0;
  return !failed_;
}

bool OutputFile::Commit(Durability durability) {
  // A decompressed file is installed by renaming it, and must not reach its
  // place empty after a power cut: it is synced here, or (kAtomic) by the
  // caller before the rename that installs it.
  return replacement_.is_open() && !failed_ && FlushRest() && replacement_.Commit(durability);
}

}  // namespace launcher
