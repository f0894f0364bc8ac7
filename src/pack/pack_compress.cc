// The compressed form: one zstd frame made with explicit, frozen parameters.
// Every producer (buffer, file, digest) streams through CompressFileToSink
// with the same chunking, so they give the same bytes by construction.
#define ZSTD_STATIC_LINKING_ONLY  // experimental switches that fix the output
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "crypto/md5_digest.h"
#include "files/regular_file.h"
#include "files/utf16.h"
#include "pack/output_file.h"
#include "pack/pack.h"
#include "pack/pack_format.h"
#include "platform/thread_object.h"

namespace launcher {
namespace {

constexpr std::size_t kInputChunk = 128 * 1024;

struct CCtxDeleter {
  void operator()(ZSTD_CCtx* cctx) const { ZSTD_freeCCtx(cctx); }
};

// One compression context and its buffers per thread, kept for the thread's
// life: a context sized for the largest window costs more to set up than a
// small file costs to compress. Reset to its defaults before every file, and
// every parameter that can change the output is set again, so a reused
// context gives the same bytes as a fresh one.
struct CompressorScratch {
  std::unique_ptr<ZSTD_CCtx, CCtxDeleter> cctx{ZSTD_createCCtx()};
  std::vector<unsigned char> in = std::vector<unsigned char>(kInputChunk);
  std::vector<unsigned char> out = std::vector<unsigned char>(ZSTD_CStreamOutSize());
  bool busy = false;  // a sink that compresses again on the same thread
};

CompressorScratch& ThreadScratch() {
#ifdef _WIN32
  return ThreadObject<CompressorScratch>();
#else
  thread_local CompressorScratch scratch;
  return scratch;
#endif
}

// Marks the thread's scratch as in use for one file.
class ScratchLease {
 public:
  ScratchLease() : scratch_(ThreadScratch()) {
    if (scratch_.busy) {
      own_ = std::make_unique<CompressorScratch>();
      active_ = own_.get();
    } else {
      scratch_.busy = true;
      active_ = &scratch_;
    }
  }
  ~ScratchLease() {
    if (active_ == &scratch_) scratch_.busy = false;
  }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  CompressorScratch& get() { return *active_; }

 private:
  CompressorScratch& scratch_;
  std::unique_ptr<CompressorScratch> own_;
  CompressorScratch* active_ = nullptr;
};

bool Set(ZSTD_CCtx* cctx, ZSTD_cParameter parameter, int value) {
  return !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, parameter, value));
}

// Every parameter that can change the output is set, including the ones
// whose library default is "decide at run time" (the row match finder, for
// one, depends on the CPU's vector instructions when left on auto).
bool Configure(ZSTD_CCtx* cctx, const PackParameters& p, std::uint64_t contentSize) {
  const MatchParameters& m = p.bySize[SizeClass(contentSize)];
  return Set(cctx, ZSTD_c_format, ZSTD_f_zstd1) && Set(cctx, ZSTD_c_compressionLevel, p.level) &&
         Set(cctx, ZSTD_c_windowLog, m.windowLog) && Set(cctx, ZSTD_c_chainLog, m.chainLog) &&
         Set(cctx, ZSTD_c_hashLog, m.hashLog) && Set(cctx, ZSTD_c_searchLog, m.searchLog) &&
         Set(cctx, ZSTD_c_minMatch, m.minMatch) && Set(cctx, ZSTD_c_targetLength, m.targetLength) &&
         Set(cctx, ZSTD_c_strategy, m.strategy) && Set(cctx, ZSTD_c_checksumFlag, 1) &&
         Set(cctx, ZSTD_c_contentSizeFlag, 1) && Set(cctx, ZSTD_c_dictIDFlag, 0) &&
         Set(cctx, ZSTD_c_nbWorkers, 0) &&
         Set(cctx, ZSTD_c_enableLongDistanceMatching, ZSTD_ps_disable) &&
         Set(cctx, ZSTD_c_forceMaxWindow, 0) &&
         Set(cctx, ZSTD_c_literalCompressionMode, ZSTD_ps_enable) &&
         Set(cctx, ZSTD_c_targetCBlockSize, 0) &&
         Set(cctx, ZSTD_c_useBlockSplitter, ZSTD_ps_disable) &&
         Set(cctx, ZSTD_c_useRowMatchFinder, ZSTD_ps_disable) &&
         Set(cctx, ZSTD_c_deterministicRefPrefix, 1) &&
         !ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(cctx, contentSize));
}

// Grows by doubling so that a large file costs about its compressed size,
// not the compression bound of its content.
class GrowingBuffer {
 public:
  ~GrowingBuffer() { std::free(data_); }
  bool Append(const unsigned char* bytes, std::size_t size) {
    if (size > capacity_ - size_) {
      std::size_t wanted = capacity_ == 0 ? 64 * 1024 : capacity_ * 2;
      while (wanted - size_ < size) wanted *= 2;
      void* grown = std::realloc(data_, wanted);
      if (grown == nullptr) return false;
      data_ = static_cast<unsigned char*>(grown);
      capacity_ = wanted;
    }
    std::memcpy(data_ + size_, bytes, size);
    size_ += size;
    return true;
  }
  // Hands the bytes over, trimmed to their size; the caller frees them.
  unsigned char* Release(std::size_t& size) {
    size = size_;
    unsigned char* out = data_;
    if (size_ > 0 && size_ < capacity_) {
      if (void* trimmed = std::realloc(data_, size_)) out = static_cast<unsigned char*>(trimmed);
    }
    data_ = nullptr;
    size_ = capacity_ = 0;
    return out;
  }

 private:
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Percent of `size` bytes that `done` bytes are; an empty file is read whole
// at once.
int ReadPercent(std::uint64_t done, std::uint64_t size) {
  if (done >= size) return 100;
  return static_cast<int>(done * 100 / size);
}

void WriteDigest(Md5Digest& digest, char* out) {
  digest.Final();
  unsigned capacity = static_cast<unsigned>(kDigestTextCapacity);
  if (out != nullptr) digest.ToHex(out, capacity);
}

}  // namespace

bool CompressFileToSink(std::u16string_view path, const PackParameters& parameters,
                        const PackSink& sink, const PackReadProgress& progress) {
  RegularFile input(path);
  if (!input.is_open()) return false;
  input.AdviseSequential();
  ScratchLease lease;
  CompressorScratch& scratch = lease.get();
  ZSTD_CCtx* cctx = scratch.cctx.get();
  if (cctx == nullptr || ZSTD_isError(ZSTD_CCtx_reset(cctx, ZSTD_reset_session_and_parameters)) ||
      !Configure(cctx, parameters, input.size())) {
    return false;
  }
  std::vector<unsigned char>& in = scratch.in;
  std::vector<unsigned char>& out = scratch.out;
  std::uint64_t total = 0;
  for (;;) {
    const std::int64_t n = input.ReadFull(in.data(), in.size());
    if (n < 0) return false;
    total += static_cast<std::uint64_t>(n);
    // A file that grows past the size it had when opened would make the
    // frame lie about its content; zstd refuses that too, but only after
    // compressing the surplus.
    if (total > input.size()) return false;
    const bool last = static_cast<std::size_t>(n) < in.size() || total == input.size();
    const ZSTD_EndDirective mode = last ? ZSTD_e_end : ZSTD_e_continue;
    ZSTD_inBuffer source{in.data(), static_cast<std::size_t>(n), 0};
    bool finished = false;
    while (!finished) {
      ZSTD_outBuffer target{out.data(), out.size(), 0};
      const std::size_t remaining = ZSTD_compressStream2(cctx, &target, &source, mode);
      if (ZSTD_isError(remaining)) return false;
      if (target.pos > 0 && !sink(out.data(), target.pos)) return false;
      finished = last ? remaining == 0 : source.pos == source.size;
    }
    if (progress) progress(ReadPercent(total, input.size()));
    if (last) return total == input.size();
  }
}

int CalcCompressFile(std::u16string_view path, std::int64_t& count, unsigned char*& buffer) {
  count = 0;
  buffer = nullptr;
  GrowingBuffer compressed;
  const bool ok = CompressFileToSink(
      path, FrozenPackParameters(),
      [&](const unsigned char* data, std::size_t size) { return compressed.Append(data, size); });
  if (!ok) return 0;
  std::size_t size = 0;
  buffer = compressed.Release(size);
  count = static_cast<std::int64_t>(size);
  return buffer != nullptr ? 1 : 0;
}

void ReleasePackBuf(unsigned char* buffer) { std::free(buffer); }

bool CompressFileTo(std::u16string_view source, std::u16string_view target, char* digestOut) {
  if (target.empty()) return false;
  OutputFile output(ToPath(target));
  if (!output.is_open()) return false;
  Md5Digest digest;
  const bool ok = CompressFileToSink(source, FrozenPackParameters(),
                                     [&](const unsigned char* data, std::size_t size) {
                                       digest.Update(data, size);
                                       return output.Write(data, size);
                                     });
  if (!ok || !output.Commit()) return false;
  WriteDigest(digest, digestOut);
  return true;
}

bool DigestCompressedForm(std::u16string_view path, char* digestOut,
                          const std::function<void(int percent)>& progress) {
  Md5Digest digest;
  const bool ok = CompressFileToSink(
      path, FrozenPackParameters(),
      [&](const unsigned char* data, std::size_t size) {
        digest.Update(data, size);
        return true;
      },
      progress);
  if (!ok) return false;
  WriteDigest(digest, digestOut);
  return true;
}

}  // namespace launcher
