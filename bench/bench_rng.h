// The benchmarks' generated data: a xorshift64 generator, so that every
// run of a benchmark writes the same bytes, and the two kinds of content
// they mix (incompressible noise, and game-data-like text).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace launcher::bench {

struct Rng {
  std::uint64_t state;
  std::uint64_t Next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
  std::string Noise(std::size_t n) {
    std::string out(n, '\0');
    for (std::size_t i = 0; i < n; i += 8) {
      const std::uint64_t r = Next();
      std::memcpy(out.data() + i, &r, std::min<std::size_t>(8, n - i));
    }
    return out;
  }
  std::string Text(std::size_t n) {
    static const char* const kWords[] = {"texture ", "mesh ", "sound ", "script ", "level ",
                                         "quest ",   "npc ",  "= ",     "0x1f ",   "item\n"};
    std::string out;
    while (out.size() < n) {
      const std::uint64_t r = Next();
      out += kWords[r % 10];
      if ((r >> 8) % 5 == 0) out += std::to_string((r >> 16) % 100000);
    }
    out.resize(n);
    return out;
  }
};

}  // namespace launcher::bench
