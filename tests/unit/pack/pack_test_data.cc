#include "pack_test_data.h"

#include <cstdint>

#include "files/utf16.h"

namespace launcher::testing {

std::string MixedContent(std::size_t size, unsigned seed) {
  std::string out;
  out.reserve(size + 256);
  std::uint32_t state = 2463534242u ^ seed;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  static const char* const kWords[] = {"patcher", "version", "data",  "main",   "texture",
                                       "sound",   "level",   "quest", "ini",    "=",
                                       "0x1f",    "true",    "false", "player", "\n"};
  while (out.size() < size) {
    const std::uint32_t kind = next() % 3;
    for (int i = 0; i < 200 && out.size() < size; ++i) {
      const std::uint32_t r = next();
      if (kind == 0) {
        out += kWords[r % 15];
        out += ' ';
      } else if (kind == 1) {
        // Records of small integers: compressible but not text.
        out.push_back(static_cast<char>(r & 0x0f));
        out.push_back(static_cast<char>((r >> 8) & 0x03));
        out.push_back('\0');
        out.push_back(static_cast<char>(i));
      } else {
        out.push_back(static_cast<char>(r));
        out.push_back(static_cast<char>(r >> 8));
        out.push_back(static_cast<char>(r >> 16));
      }
    }
  }
  out.resize(size);
  return out;
}

std::u16string U16(const std::filesystem::path& path) { return FromUtf8Lossy(path.string()); }

}  // namespace launcher::testing
