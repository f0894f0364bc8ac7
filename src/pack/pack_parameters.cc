// The parameters that decide the compressed form: the frozen rows every
// producer uses, and zstd's own rows for the benchmarks that compare levels.
// Changing a frozen value changes every list digest (docs/pack-format.md).
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getCParams
#include <zstd.h>

#include "pack/pack_format.h"

namespace launcher {

std::size_t SizeClass(std::uint64_t contentSize) {
  constexpr std::uint64_t kKiB = 1024;
  if (contentSize <= 16 * kKiB) return 0;
  if (contentSize <= 128 * kKiB) return 1;
  if (contentSize <= 256 * kKiB) return 2;
  return 3;
}

PackParameters FrozenPackParameters() {
  // zstd 1.5.4's level-3 rows, written out so that a change of the
  // library's tables cannot change the compressed form. With them the output
  // equals `zstd -3 --single-thread` of that version for every size, so
  // operators can reproduce a list digest with stock tools.
  return PackParameters{.level = 3,
                        .bySize = {{
                            {.windowLog = 14,
                             .chainLog = 14,
                             .hashLog = 15,
                             .searchLog = 2,
                             .minMatch = 4,
                             .targetLength = 0,
                             .strategy = ZSTD_dfast},
                            {.windowLog = 17,
                             .chainLog = 15,
                             .hashLog = 16,
                             .searchLog = 2,
                             .minMatch = 5,
                             .targetLength = 0,
                             .strategy = ZSTD_dfast},
                            {.windowLog = 18,
                             .chainLog = 16,
                             .hashLog = 16,
                             .searchLog = 1,
                             .minMatch = 4,
                             .targetLength = 0,
                             .strategy = ZSTD_dfast},
                            {.windowLog = 21,
                             .chainLog = 16,
                             .hashLog = 17,
                             .searchLog = 1,
                             .minMatch = 5,
                             .targetLength = 0,
                             .strategy = ZSTD_dfast},
                        }}};
}

PackParameters LibraryParametersForLevel(int level) {
  // The rows as zstd picks them for a source exactly at each class's upper
  // bound (unknown size for the last), where its size adjustment leaves
  // them unchanged.
  constexpr unsigned long long kBounds[kSizeClasses] = {16 * 1024, 128 * 1024, 256 * 1024,
                                                        ZSTD_CONTENTSIZE_UNKNOWN};
  PackParameters parameters{.level = level, .bySize = {}};
  for (std::size_t i = 0; i < kSizeClasses; ++i) {
    const ZSTD_compressionParameters c = ZSTD_getCParams(level, kBounds[i], 0);
    parameters.bySize[i] = MatchParameters{.windowLog = static_cast<int>(c.windowLog),
                                           .chainLog = static_cast<int>(c.chainLog),
                                           .hashLog = static_cast<int>(c.hashLog),
                                           .searchLog = static_cast<int>(c.searchLog),
                                           .minMatch = static_cast<int>(c.minMatch),
                                           .targetLength = static_cast<int>(c.targetLength),
                                           .strategy = static_cast<int>(c.strategy)};
  }
  return parameters;
}

}  // namespace launcher
