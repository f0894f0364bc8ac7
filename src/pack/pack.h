// The compression layer of patch files: one standard zstd frame produced by a
// fixed set of parameters (docs/pack-format.md). The server serves exactly
// what CalcCompressFile produces from the same content, so list digests taken
// over the compressed form match on both sides.
//
// Threading: every function may be called from any thread, also from
// several at once (the worker and the helpers that digest installed files
// ahead of it): each thread keeps its own compression contexts for its
// lifetime, decompression contexts come from a small pool
// (pack/frame_decoder.h), and nothing else is shared. None of them passes a cancel check point; a
// caller that must not be cut by a close wraps the call in its guarded section.
//
// CalcCompressFile and ReleasePackBuf, the whole compressed form in memory,
// serve only the tests and the benchmarks: the engine digests through
// DigestCompressedForm and the publisher writes through CompressFileTo, both
// in bounded memory.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace launcher {

// Compresses the file at `path` into a new buffer. Sets `buffer` to null when
// the file cannot be read; otherwise `buffer` holds `count` bytes and must be
// released with ReleasePackBuf. Returns 1 on success, 0 otherwise.
int CalcCompressFile(std::u16string_view path, std::int64_t& count, unsigned char*& buffer);
void ReleasePackBuf(unsigned char* buffer);

// Decompresses the compressed form in `source` into `target` (its directories
// exist), through a FrameDecoder. The frame is checked completely; the target is written through a
// temporary file renamed into place, so a failure never leaves a partial
// target. The target's data are on the disk when it appears, unless
// `syncNow` is false: the caller then syncs them (SyncFileData) before
// anything relies on them surviving a power cut. Returns true on success.
bool DecompressFile(std::u16string_view source, std::u16string_view target, bool syncNow = true);

// Streams the compressed form of `source` into `target` (written through a
// temporary file renamed into place) without holding either in memory, and
// gives its MD5 text form in `digestOut` (33 bytes) when not null. For the
// publisher. Returns true on success.
bool CompressFileTo(std::u16string_view source, std::u16string_view target, char* digestOut);

// MD5 text form of the compressed form of the file at `path`, computed while
// compressing, without holding the compressed form in memory. Gives the same
// answer as CalcCompressFile + DigestBuffer. Returns false when the file
// cannot be read.
//
// `progress`, when given, receives the share of the file read so far in
// percent, once per 128 KiB chunk read (never more often than once per 8192
// bytes), 100 after the last; it is called on the calling thread, from inside the one
// pass over the file. Its exceptions pass through; the file and the
// compressor are released on the way out.
bool DigestCompressedForm(std::u16string_view path, char* digestOut,
                          const std::function<void(int percent)>& progress = {});

}  // namespace launcher
