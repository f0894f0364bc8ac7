// Making a patch: the result compressed in one pass with the base as zstd's
// reference prefix and long-distance matching, so that content found
// anywhere in the base, however far it moved, becomes a match.
#define ZSTD_STATIC_LINKING_ONLY  // stable input buffer, fixed match finder
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "crypto/md5_digest.h"
#include "pack/patch.h"
#include "platform/mapped_file.h"
#include "platform/native_file.h"

namespace launcher {
namespace {

struct CCtxFree {
  void operator()(ZSTD_CCtx* cctx) const { ZSTD_freeCCtx(cctx); }
};

bool Set(ZSTD_CCtx* cctx, ZSTD_cParameter parameter, int value) {
  return !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, parameter, value));
}

// The match finder's tables, sized to the window. Level 3 keeps 2^17
// entries whatever the input; indexing a base of 20 MiB into that many
// keeps only its last positions, so the short matches between the changed
// addresses of a recompiled program are lost (long-distance matching only
// finds runs of 64 bytes and more) and the patch is nearly the whole file.
// Capped so that the publisher's tables stay within 128 MiB.
int TableLog(int windowLog) { return std::clamp(windowLog - 3, 17, 24); }

// Every switch that changes the output is set, so the same pair always
// gives the same patch. The input is the whole mapped result (a stable
// buffer), which zstd then reads in place instead of copying it into a
// window-sized buffer of its own.
bool Configure(ZSTD_CCtx* cctx, int windowLog, std::uint64_t resultSize) {
  return Set(cctx, ZSTD_c_format, ZSTD_f_zstd1) &&
         Set(cctx, ZSTD_c_compressionLevel, kPatchLevel) &&
         Set(cctx, ZSTD_c_windowLog, windowLog) && Set(cctx, ZSTD_c_hashLog, TableLog(windowLog)) &&
         Set(cctx, ZSTD_c_chainLog, TableLog(windowLog)) &&
         Set(cctx, ZSTD_c_enableLongDistanceMatching, ZSTD_ps_enable) &&
         Set(cctx, ZSTD_c_checksumFlag, 1) && Set(cctx, ZSTD_c_contentSizeFlag, 1) &&
         Set(cctx, ZSTD_c_dictIDFlag, 0) && Set(cctx, ZSTD_c_nbWorkers, 0) &&
         Set(cctx, ZSTD_c_useRowMatchFinder, ZSTD_ps_disable) &&
         Set(cctx, ZSTD_c_useBlockSplitter, ZSTD_ps_disable) &&
         Set(cctx, ZSTD_c_deterministicRefPrefix, 1) && Set(cctx, ZSTD_c_stableInBuffer, 1) &&
         !ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(cctx, resultSize));
}

}  // namespace

int PatchWindowLog(std::uint64_t baseSize, std::uint64_t resultSize) {
  if (baseSize >= kMaxPatchFileSize || resultSize >= kMaxPatchFileSize) return 0;
  const std::uint64_t both = baseSize + resultSize;
  int log = ZSTD_WINDOWLOG_MIN;
  while (log < kMaxPatchWindowLog && (std::uint64_t{1} << log) < both) ++log;
  return log;
}

bool MakePatchFile(const std::filesystem::path& base, const std::filesystem::path& result,
                   const std::filesystem::path& patchPath, MadePatch& made) {
  MappedFile from;
  MappedFile to;
  if (!from.OpenRead(base) || !to.OpenRead(result)) return false;
  const int windowLog = PatchWindowLog(from.size(), to.size());
  if (windowLog == 0) return false;
  std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
  if (!cctx || !Configure(cctx.get(), windowLog, to.size()) ||
      ZSTD_isError(
          ZSTD_CCtx_refPrefix(cctx.get(), from.data(), static_cast<std::size_t>(from.size())))) {
    return false;
  }
  NativeFile out;
  bool exists = false;
  if (!out.CreateNew(patchPath, 0666, exists)) return false;
  to.AdviseSequential();
  Md5Digest md5;
  std::vector<unsigned char> buffer(ZSTD_CStreamOutSize() * 8);
  ZSTD_inBuffer input{to.data(), static_cast<std::size_t>(to.size()), 0};
  bool ok = true;
  made.size = 0;
  for (;;) {
    ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
    const std::size_t remaining = ZSTD_compressStream2(cctx.get(), &output, &input, ZSTD_e_end);
    if (ZSTD_isError(remaining) || !out.Write(buffer.data(), output.pos)) {
      ok = false;
      break;
    }
    md5.Update(buffer.data(), output.pos);
    made.size += output.pos;
    if (remaining == 0) break;
  }
  ok = out.Close() && ok;
  if (!ok) {
    RemoveNativeFile(patchPath);
    return false;
  }
  md5.Final();
  char text[kDigestTextCapacity] = {};
  unsigned capacity = sizeof text;
  md5.ToHex(text, capacity);
  made.md5.assign(text, 32);
  return true;
}

}  // namespace launcher
