// Internals of the compressed form shared by the pack functions and the
// benchmarks: the zstd parameters and the one streaming compressor that every
// producer of the compressed form goes through, so the buffer, the file and
// the digest paths can never disagree about a byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace launcher {

// Match-finder parameters of zstd (values as in zstd.h: strategy 1 = fast
// ... 9 = btultra2).
struct MatchParameters {
  int windowLog;
  int chainLog;
  int hashLog;
  int searchLog;
  int minMatch;
  int targetLength;
  int strategy;
};

// The content-size classes of zstd's level tables: up to 16 KiB, up to
// 128 KiB, up to 256 KiB, larger.
inline constexpr std::size_t kSizeClasses = 4;
std::size_t SizeClass(std::uint64_t contentSize);

// Everything that decides the compressed form besides the fixed switches
// (checksum, content size, no dictionary ID, one thread, ...): the level and
// the match-finder parameters of each size class. Each one is set
// explicitly; none is left to the library.
struct PackParameters {
  int level;
  std::array<MatchParameters, kSizeClasses> bySize;
};

// The frozen parameters of the compressed form (docs/pack-format.md).
PackParameters FrozenPackParameters();
// zstd's own table rows for `level`; for benchmarks that compare candidate
// levels, never for the compressed form itself.
PackParameters LibraryParametersForLevel(int level);

// Receives the compressed form in pieces; returns false to abandon.
using PackSink = std::function<bool(const unsigned char* data, std::size_t size)>;

// Receives the share of the input read so far, in percent (0..100), once
// after each input chunk has been compressed; the last chunk gives 100.
using PackReadProgress = std::function<void(int percent)>;

// Streams the compressed form of the regular file at `path` into `sink` as
// one zstd frame that declares the file's size. Input is read in fixed
// 128 KiB chunks, each read once; `progress`, when given, follows them. False
// when the file cannot be read, changes size while it is read, or the sink
// gives up.
bool CompressFileToSink(std::u16string_view path, const PackParameters& parameters,
                        const PackSink& sink, const PackReadProgress& progress = {});

// Largest content a compressed form may declare or produce (4 GiB).
inline constexpr std::uint64_t kMaxContentSize = std::uint64_t{4} << 30;
// Largest window a compressed form may ask the decompressor for (2^27 bytes).
inline constexpr int kMaxWindowLog = 27;

}  // namespace launcher
