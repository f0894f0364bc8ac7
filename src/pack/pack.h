// The compression layer of patch files: one standard zstd frame produced by a
// fixed set of parameters (docs/pack-format.md). The server serves exactly
// what CalcCompressFile produces from the same content, so list digests taken
// over the compressed form match on both sides.
#pragma once

#include <cstdint>
#include <string_view>

namespace launcher {

// Compresses the file at `path` into a new buffer. Sets `buffer` to null when
// the file cannot be read; otherwise `buffer` holds `count` bytes and must be
// released with ReleasePackBuf. Returns 1 on success, 0 otherwise.
int CalcCompressFile(std::u16string_view path, std::int64_t& count, unsigned char*& buffer);
void ReleasePackBuf(unsigned char* buffer);

// Decompresses the compressed form in `source` into `target` (its directories
// exist). The frame is checked completely; the target is written through a
// temporary file renamed into place, so a failure never leaves a partial
// target. Returns true on success.
bool DecompressFile(std::u16string_view source, std::u16string_view target);

}  // namespace launcher
