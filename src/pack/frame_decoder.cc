#include "pack/frame_decoder.h"

#define ZSTD_STATIC_LINKING_ONLY  // frame header inspection
#include <zstd.h>

#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "files/utf16.h"
#include "pack/output_file.h"
#include "pack/pack_format.h"

namespace launcher {
namespace {

// A decompression context and its output buffer. Kept between files: a
// fresh context allocates its window again, and the buffer needs no
// zero-filling.
struct Context {
  struct Free {
    void operator()(ZSTD_DCtx* dctx) const { ZSTD_freeDCtx(dctx); }
  };
  std::unique_ptr<ZSTD_DCtx, Free> dctx{ZSTD_createDCtx()};
  std::size_t outSize = ZSTD_DStreamOutSize();
  std::unique_ptr<unsigned char[]> out{new unsigned char[ZSTD_DStreamOutSize()]};
};

// Idle contexts; as many exist as decoders ever ran at once (the worker and
// one download), at most kKeptIdle of them are kept.
constexpr std::size_t kKeptIdle = 4;

std::mutex& PoolMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<std::unique_ptr<Context>>& Pool() {
  static std::vector<std::unique_ptr<Context>> pool;
  return pool;
}

std::unique_ptr<Context> TakeContext() {
  {
    std::lock_guard<std::mutex> lock(PoolMutex());
    if (!Pool().empty()) {
      std::unique_ptr<Context> context = std::move(Pool().back());
      Pool().pop_back();
      return context;
    }
  }
  return std::make_unique<Context>();
}

void ReturnContext(std::unique_ptr<Context> context) {
  std::lock_guard<std::mutex> lock(PoolMutex());
  if (context->dctx && Pool().size() < kKeptIdle) Pool().push_back(std::move(context));
}

}  // namespace

struct FrameDecoder::State {
  std::unique_ptr<Context> context;
  std::unique_ptr<OutputFile> output;
  std::uint64_t declared = ZSTD_CONTENTSIZE_UNKNOWN;
  std::uint64_t limit = kMaxContentSize;
  std::uint64_t produced = 0;
  bool frameEnded = false;
};

FrameDecoder::FrameDecoder(std::u16string_view target) : target_(target) {
  if (target_.empty()) failed_ = true;
}

FrameDecoder::~FrameDecoder() {
  if (!state_) return;
  state_->output.reset();  // removes an uncommitted temporary file
  if (state_->context) ReturnContext(std::move(state_->context));
}

bool FrameDecoder::Fail() {
  failed_ = true;
  if (state_) state_->output.reset();
  return false;
}

bool FrameDecoder::Feed(std::string_view bytes) {
  if (failed_) return false;
  if (state_) return Decode(bytes);
  // Nothing is written before the frame header has been read and accepted.
  const std::size_t before = head_.size();
  head_.append(bytes.substr(0, ZSTD_FRAMEHEADERSIZE_MAX - before));
  ZSTD_frameHeader header{};
  const std::size_t needed = ZSTD_getFrameHeader(&header, head_.data(), head_.size());
  if (ZSTD_isError(needed)) return Fail();
  if (needed != 0) {
    // Too short still; a header never needs more than the maximum.
    return head_.size() < ZSTD_FRAMEHEADERSIZE_MAX || Fail();
  }
  if (header.frameType != ZSTD_frame) return Fail();  // skippable frames carry no content
  if (header.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN &&
      header.frameContentSize > kMaxContentSize) {
    return Fail();
  }
  if (header.windowSize > (std::uint64_t{1} << kMaxWindowLog)) return Fail();
  try {
    state_ = std::make_unique<State>();
    state_->declared = header.frameContentSize;
    if (state_->declared != ZSTD_CONTENTSIZE_UNKNOWN) state_->limit = state_->declared;
    if (!StartOutput()) return Fail();
  } catch (const std::bad_alloc&) {
    return Fail();  // the decoder may run on a helper thread: no exception leaves it
  }
  std::string head = std::move(head_);
  head_.clear();
  // The bytes kept for the header, then the rest of this piece.
  return Decode(head) && Decode(bytes.substr(head.size() - before));
}

bool FrameDecoder::StartOutput() {
  state_->context = TakeContext();
  ZSTD_DCtx* dctx = state_->context->dctx.get();
  if (dctx == nullptr || ZSTD_isError(ZSTD_DCtx_reset(dctx, ZSTD_reset_session_and_parameters)) ||
      ZSTD_isError(ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, kMaxWindowLog))) {
    return false;
  }
  state_->output = std::make_unique<OutputFile>(ToPath(target_), OutputFile::Writes::kBulk);
  return state_->output->is_open();
}

bool FrameDecoder::Decode(std::string_view bytes) {
  State& s = *state_;
  Context& c = *s.context;
  ZSTD_inBuffer chunk{bytes.data(), bytes.size(), 0};
  for (;;) {
    if (s.frameEnded) return chunk.pos == chunk.size || Fail();  // bytes after the frame
    ZSTD_outBuffer sink{c.out.get(), c.outSize, 0};
    const std::size_t hint = ZSTD_decompressStream(c.dctx.get(), &sink, &chunk);
    if (ZSTD_isError(hint)) return Fail();
    s.produced += sink.pos;
    if (s.produced > s.limit) return Fail();
    if (sink.pos > 0 && !s.output->Write(c.out.get(), sink.pos)) return Fail();
    if (hint == 0) s.frameEnded = true;
    // All input taken and the output not full: zstd needs more input.
    if (!s.frameEnded && chunk.pos == chunk.size && sink.pos < sink.size) return true;
  }
}

bool FrameDecoder::Commit(bool syncNow) {
  if (failed_ || !state_ || !state_->frameEnded) return Fail();  // the input ends inside the frame
  if (state_->declared != ZSTD_CONTENTSIZE_UNKNOWN && state_->produced != state_->declared) {
    return Fail();
  }
  const bool committed =
      state_->output->Commit(syncNow ? Durability::kSyncData : Durability::kAtomic);
  state_->output.reset();
  failed_ = !committed;
  return committed;
}

}  // namespace launcher
