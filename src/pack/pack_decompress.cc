// Decompression of a compressed form held in a file: the file read in
// chunks through the frame decoder, which checks the frame as a whole before
// the target appears.
#include "files/regular_file.h"
#include "pack/frame_decoder.h"
#include "pack/pack.h"

#include <memory>

namespace launcher {
namespace {

constexpr std::size_t kReadBytes = 128 * 1024;

}  // namespace

bool DecompressFile(std::u16string_view source, std::u16string_view target, bool syncNow) {
  if (target.empty()) return false;
  RegularFile input(source);
  if (!input.is_open()) return false;
  FrameDecoder decoder(target);
  std::unique_ptr<char[]> buffer(new char[kReadBytes]);
  for (;;) {
    const std::int64_t n = input.ReadSome(buffer.get(), kReadBytes);
    if (n < 0) return false;
    if (n == 0) break;
    if (!decoder.Feed(std::string_view(buffer.get(), static_cast<std::size_t>(n)))) return false;
  }
  return decoder.Commit(syncNow);
}

}  // namespace launcher
