// DecompressFile over arbitrary compressed forms. Whatever the input, the
// target ends up either complete (the call succeeded) or as it was before,
// and no temporary file is left beside it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <zstd.h>

#include "fuzz_support.h"
#include "pack/pack.h"

using namespace launcher;

namespace {

std::string ReadAll(const std::filesystem::path& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  FUZZ_CHECK(file != nullptr);
  std::string bytes;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
    bytes.append(buffer, n);
  std::fclose(file);
  return bytes;
}

// zstd's own streaming reading of a single frame, for comparison; nullopt
// when zstd refuses it. The first byte goes in alone: given the whole frame
// at once, zstd may take its one-shot path, which refuses a compressed block
// of size 0 that its streaming path (the decoder's, and ours here) skips as
// empty.
std::optional<std::string> ReferenceDecompress(std::string_view frame) {
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  FUZZ_CHECK(dctx != nullptr);
  std::string out;
  ZSTD_inBuffer in{frame.data(), std::min<std::size_t>(frame.size(), 1), 0};
  std::vector<char> chunk(ZSTD_DStreamOutSize());
  std::size_t hint = 1;
  while (hint != 0) {
    ZSTD_outBuffer sink{chunk.data(), chunk.size(), 0};
    hint = ZSTD_decompressStream(dctx, &sink, &in);
    if (ZSTD_isError(hint)) break;
    out.append(chunk.data(), sink.pos);
    // All input taken and the output not full: give the rest, or stop.
    if (in.pos == in.size && sink.pos < sink.size) {
      if (in.size == frame.size()) break;
      in.size = frame.size();
    }
  }
  ZSTD_freeDCtx(dctx);
  if (hint != 0) return std::nullopt;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::filesystem::path dir = fuzz::ScratchRoot() / "config/patcher/temp";
  std::filesystem::create_directories(dir);
  const std::u16string source = fuzz::WriteScratchFile(
      fuzz::ScratchRoot() / "config/patcher/tempfile.dat", fuzz::AsText(data, size));
  const std::u16string target = fuzz::WriteScratchFile(dir / "main.exe", "previous");

  const bool ok = DecompressFile(source, target);
  std::size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    FUZZ_CHECK(entry.path().filename() == "main.exe");
    ++entries;
  }
  FUZZ_CHECK(entries == 1);
  if (!ok) {
    FUZZ_CHECK(ReadAll(dir / "main.exe") == "previous");
    return 0;
  }
  // Success means one whole frame that zstd reads the same way.
  const std::optional<std::string> reference = ReferenceDecompress(fuzz::AsText(data, size));
  FUZZ_CHECK(reference.has_value());
  FUZZ_CHECK(ReadAll(dir / "main.exe") == *reference);
  return 0;
}
