// Decompression of the compressed form. The frame is checked as a whole
// before the target is touched: a bad header, corrupt blocks, a wrong
// checksum, a size that does not match the header, or any byte after the
// frame fails the call, and the temporary output is thrown away.
#define ZSTD_STATIC_LINKING_ONLY  // frame header inspection
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "files/regular_file.h"
#include "files/utf16.h"
#include "pack/output_file.h"
#include "pack/pack.h"
#include "pack/pack_format.h"
#include "platform/thread_object.h"

namespace launcher {
namespace {

struct DCtxDeleter {
  void operator()(ZSTD_DCtx* dctx) const { ZSTD_freeDCtx(dctx); }
};

// One decompression context per thread, kept for the thread's life and reset
// before each file (a fresh context allocates its window again).
struct ThreadDCtx {
  std::unique_ptr<ZSTD_DCtx, DCtxDeleter> dctx{ZSTD_createDCtx()};
};

ZSTD_DCtx* ThreadContext() {
#ifdef _WIN32
  // Through fiber-local storage: see platform/thread_object.h.
  const std::unique_ptr<ZSTD_DCtx, DCtxDeleter>& dctx = ThreadObject<ThreadDCtx>().dctx;
#else
  thread_local ThreadDCtx slot;
  const std::unique_ptr<ZSTD_DCtx, DCtxDeleter>& dctx = slot.dctx;
#endif
  if (!dctx) return nullptr;
  if (ZSTD_isError(ZSTD_DCtx_reset(dctx.get(), ZSTD_reset_session_and_parameters))) return nullptr;
  return dctx.get();
}

// Reads the first bytes of the file, enough for any frame header, and checks
// what the header declares. Leaves the bytes read in `head`.
bool CheckHeader(RegularFile& source, std::vector<unsigned char>& head,
                 unsigned long long& contentSize) {
  head.resize(ZSTD_FRAMEHEADERSIZE_MAX);
  std::size_t filled = 0;
  while (filled < head.size()) {
    const ssize_t n = source.ReadSome(head.data() + filled, head.size() - filled);
    if (n < 0) return false;
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  head.resize(filled);
  ZSTD_frameHeader header{};
  if (ZSTD_getFrameHeader(&header, head.data(), head.size()) != 0) return false;
  if (header.frameType != ZSTD_frame) return false;  // skippable frames carry no content
  contentSize = header.frameContentSize;
  if (contentSize != ZSTD_CONTENTSIZE_UNKNOWN && contentSize > kMaxContentSize) return false;
  return header.windowSize <= (std::uint64_t{1} << kMaxWindowLog);
}

}  // namespace

bool DecompressFile(std::u16string_view source, std::u16string_view target, bool syncNow) {
  if (target.empty()) return false;
  RegularFile input(source);
  if (!input.is_open()) return false;
  std::vector<unsigned char> in;
  unsigned long long declared = 0;
  if (!CheckHeader(input, in, declared)) return false;

  ZSTD_DCtx* dctx = ThreadContext();
  if (dctx == nullptr ||
      ZSTD_isError(ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, kMaxWindowLog))) {
    return false;
  }
  OutputFile output(ToPath(target));
  if (!output.is_open()) return false;

  const std::uint64_t limit = declared == ZSTD_CONTENTSIZE_UNKNOWN ? kMaxContentSize : declared;
  std::vector<unsigned char> out(ZSTD_DStreamOutSize());
  std::uint64_t produced = 0;
  bool frameEnded = false;
  std::size_t pending = in.size();  // bytes of `in` not yet given to zstd
  in.resize(ZSTD_DStreamInSize());
  for (;;) {
    ZSTD_inBuffer chunk{in.data(), pending, 0};
    while (chunk.pos < chunk.size || !frameEnded) {
      if (frameEnded) return false;  // bytes after the end of the frame
      ZSTD_outBuffer sink{out.data(), out.size(), 0};
      const std::size_t hint = ZSTD_decompressStream(dctx, &sink, &chunk);
      if (ZSTD_isError(hint)) return false;
      produced += sink.pos;
      if (produced > limit) return false;
      if (sink.pos > 0 && !output.Write(out.data(), sink.pos)) return false;
      if (hint == 0) frameEnded = true;
      // Nothing consumed and nothing produced: zstd needs more input.
      if (sink.pos < sink.size && chunk.pos == chunk.size) break;
    }
    const std::int64_t n = input.ReadSome(in.data(), in.size());
    if (n < 0) return false;
    if (n == 0) break;
    pending = static_cast<std::size_t>(n);
  }
  if (!frameEnded) return false;  // the file ends inside the frame
  if (declared != ZSTD_CONTENTSIZE_UNKNOWN && produced != declared) return false;
  return output.Commit(syncNow ? Durability::kSyncData : Durability::kAtomic);
}

}  // namespace launcher
