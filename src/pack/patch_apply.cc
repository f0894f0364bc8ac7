// Applying a patch without holding base or result in the heap: both are
// mapped, and zstd writes the result straight into the mapping of the new
// file (a stable output buffer). A streaming decoder would otherwise keep a
// window buffer as large as the patch's window, up to 2 GiB of anonymous
// memory; with the whole output addressable it needs none, and its matches
// into the base read the base's mapping.
#define ZSTD_STATIC_LINKING_ONLY  // frame header, stable output buffer
#include <zstd.h>
#include <zstd_errors.h>

#include <memory>
#include <vector>

#include "crypto/sha256_digest.h"
#include "files/regular_file.h"
#include "files/replace_file.h"
#include "pack/patch.h"
#include "platform/mapped_file.h"
#include "platform/native_file.h"
#include "platform/thread_object.h"

namespace launcher {
namespace {

constexpr std::size_t kReadBytes = 128 * 1024;
// Writeback of the result is started behind the decoder in steps of this.
constexpr std::uint64_t kWritebackStep = 8 * 1024 * 1024;
constexpr std::uint64_t kProgressStep = 8192;

struct DCtxFree {
  void operator()(ZSTD_DCtx* dctx) const { ZSTD_freeDCtx(dctx); }
};

// One decompression context per thread, kept for the thread's life: a
// fresh one per patch costs more than a small patch does. Reset with its
// parameters before every use.
struct PatchContext {
  std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx{ZSTD_createDCtx()};
};

ZSTD_DCtx* ThreadDCtx() {
#ifdef _WIN32
  PatchContext& context = ThreadObject<PatchContext>();
#else
  thread_local PatchContext context;
#endif
  ZSTD_DCtx* dctx = context.dctx.get();
  if (dctx == nullptr || ZSTD_isError(ZSTD_DCtx_reset(dctx, ZSTD_reset_session_and_parameters))) {
    return nullptr;
  }
  return dctx;
}

// Results up to this size are decoded into a buffer and written out at the
// end, as any small staged file is: mapping a new file and reserving its
// space costs more than the bytes.
constexpr std::uint64_t kBufferedResultBytes = 1024 * 1024;

// Where the result is decoded: a buffer, or a mapped file under the
// target's temporary name (removed unless it became the target, also when a
// progress callback unwinds the call).
class ResultFile {
 public:
  explicit ResultFile(const std::filesystem::path& target)
      : target_(target), temporary_(ReplacementTemporaryName(target)) {}
  ~ResultFile() {
    map_.Close();
    if (mapped_ && !kept_) RemoveNativeFile(temporary_);
  }
  ResultFile(const ResultFile&) = delete;
  ResultFile& operator=(const ResultFile&) = delete;

  bool Open(std::uint64_t size) {
    if (size <= kBufferedResultBytes) {
      buffer_.resize(static_cast<std::size_t>(size));
      data_ = buffer_.data();
      return true;
    }
    bool exists = false;
    if (!map_.CreateNew(temporary_, size, 0666, exists) && exists && RemoveNativeFile(temporary_)) {
      map_.CreateNew(temporary_, size, 0666, exists);  // left by a killed run
    }
    mapped_ = map_.is_open();
    data_ = map_.writable_data();
    return mapped_;
  }
  unsigned char* data() { return data_; }
  void StartWriteback(std::uint64_t offset, std::uint64_t length) {
    if (mapped_) map_.StartWriteback(offset, length);
  }
  bool Commit(bool syncNow) {
    if (!mapped_) {
      FileReplacement replacement(target_);
      return replacement.is_open() && replacement.file().Write(buffer_.data(), buffer_.size()) &&
             replacement.Commit(syncNow ? Durability::kSyncData : Durability::kAtomic);
    }
    // The mapping goes before the rename: Windows renames no file that has
    // one.
    if ((syncNow && !map_.Sync()) || !map_.Close()) return false;
    if (!RenameReplacing(temporary_, target_, false)) return false;
    kept_ = true;
    return true;
  }

 private:
  std::filesystem::path target_;
  std::filesystem::path temporary_;
  std::vector<unsigned char> buffer_;
  MappedFile map_;
  unsigned char* data_ = nullptr;
  bool mapped_ = false;
  bool kept_ = false;
};

PatchOutcome DecodeError(std::size_t code) {
  // A content checksum that does not match means the frame decoded into
  // other bytes than it was made from: the base was not the one expected.
  return ZSTD_getErrorCode(code) == ZSTD_error_checksum_wrong ? PatchOutcome::kWrongResult
                                                              : PatchOutcome::kBadPatch;
}

// Reads the frame header at the start of the patch and checks it against
// what is expected; the file is left positioned after the bytes read, which
// are kept in `head` for the decoder.
PatchOutcome CheckHeader(RegularFile& input, const PatchResult& expected, std::string& head) {
  head.resize(ZSTD_FRAMEHEADERSIZE_MAX);
  const std::int64_t n = input.ReadFull(head.data(), head.size());
  if (n < 0) return PatchOutcome::kBadPatch;
  head.resize(static_cast<std::size_t>(n));
  ZSTD_frameHeader header{};
  if (ZSTD_getFrameHeader(&header, head.data(), head.size()) != 0 ||
      header.frameType != ZSTD_frame) {
    return PatchOutcome::kBadPatch;
  }
  if (header.windowSize > (std::uint64_t{1} << kMaxPatchWindowLog)) return PatchOutcome::kTooLarge;
  if (header.frameContentSize != expected.size) return PatchOutcome::kBadPatch;
  return PatchOutcome::kApplied;
}

}  // namespace

std::u16string_view PatchOutcomeText(PatchOutcome outcome) {
  switch (outcome) {
    case PatchOutcome::kApplied:
      return u"applied";
    case PatchOutcome::kBaseUnreadable:
      return u"base unreadable";
    case PatchOutcome::kTooLarge:
      return u"too large";
    case PatchOutcome::kBadPatch:
      return u"bad patch";
    case PatchOutcome::kWrongResult:
      return u"wrong result";
    case PatchOutcome::kWriteFailed:
      return u"cannot write";
  }
  return u"?";
}

PatchOutcome ApplyPatchFile(const std::filesystem::path& base, const std::filesystem::path& patch,
                            const std::filesystem::path& target, const PatchResult& expected,
                            bool syncNow, const std::function<void(int percent)>& progress) {
  if (expected.size >= kMaxPatchFileSize) return PatchOutcome::kTooLarge;
  MappedFile from;
  if (!from.OpenRead(base)) return PatchOutcome::kBaseUnreadable;
  if (from.size() >= kMaxPatchFileSize) return PatchOutcome::kTooLarge;
  RegularFile input(patch.u16string());
  if (!input.is_open()) return PatchOutcome::kBadPatch;
  std::string head;
  if (PatchOutcome checked = CheckHeader(input, expected, head);
      checked != PatchOutcome::kApplied) {
    return checked;
  }

  ZSTD_DCtx* const dctx = ThreadDCtx();
  if (dctx == nullptr ||
      ZSTD_isError(ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, kMaxPatchWindowLog)) ||
      ZSTD_isError(ZSTD_DCtx_setParameter(dctx, ZSTD_d_stableOutBuffer, 1)) ||
      ZSTD_isError(ZSTD_DCtx_refPrefix(dctx, from.data(), static_cast<std::size_t>(from.size())))) {
    return PatchOutcome::kBadPatch;
  }
  ResultFile result(target);
  if (!result.Open(expected.size)) return PatchOutcome::kWriteFailed;

  // The output buffer stays the same for the whole frame, as a stable
  // buffer must; zstd advances its position.
  ZSTD_outBuffer output{result.data(), static_cast<std::size_t>(expected.size), 0};
  Sha256Digest sha;
  std::uint64_t hashed = 0;
  std::uint64_t reported = 0;
  std::uint64_t writtenBack = 0;
  std::vector<char> buffer(kReadBytes);
  bool frameEnded = false;
  std::string_view piece = head;
  if (progress) progress(0);
  for (;;) {
    ZSTD_inBuffer in{piece.data(), piece.size(), 0};
    while (in.pos < in.size) {
      if (frameEnded) return PatchOutcome::kBadPatch;  // bytes after the frame
      const std::size_t inBefore = in.pos;
      const std::size_t outBefore = output.pos;
      const std::size_t hint = ZSTD_decompressStream(dctx, &output, &in);
      if (ZSTD_isError(hint)) return DecodeError(hint);
      if (hint == 0) frameEnded = true;
      // Neither input taken nor output made: the frame wants to write past
      // its declared size.
      if (!frameEnded && in.pos == inBefore && output.pos == outBefore) {
        return PatchOutcome::kBadPatch;
      }
      if (output.pos > hashed) {
        sha.Update(result.data() + hashed, output.pos - hashed);
        hashed = output.pos;
      }
      if (hashed - writtenBack >= kWritebackStep) {
        result.StartWriteback(writtenBack, hashed - writtenBack);
        writtenBack = hashed;
      }
      if (progress && hashed - reported >= kProgressStep && hashed < expected.size) {
        reported = hashed;
        progress(static_cast<int>(hashed * 100 / expected.size));
      }
    }
    const std::int64_t n = input.ReadSome(buffer.data(), buffer.size());
    if (n < 0) return PatchOutcome::kBadPatch;
    if (n == 0) break;
    piece = std::string_view(buffer.data(), static_cast<std::size_t>(n));
  }
  if (!frameEnded || output.pos != expected.size) return PatchOutcome::kBadPatch;
  if (sha.FinalHex() != expected.sha256) return PatchOutcome::kWrongResult;
  if (progress) progress(100);
  from.Close();
  if (!result.Commit(syncNow)) return PatchOutcome::kWriteFailed;
  return PatchOutcome::kApplied;
}

}  // namespace launcher
