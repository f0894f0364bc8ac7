// MD5 digests in the text form the lists use: 32 lower-case hexadecimal
// characters followed by a NUL.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace launcher {

// Receives a percentage (0..100) while a digest is computed. The update
// engine passes SetFileProgress; tools pass nothing.
using DigestProgress = std::function<void(int percent)>;

// Size of the buffers the callers hand to ToHex / DigestFile / DigestBuffer.
inline constexpr std::size_t kDigestTextCapacity = 50;

class Md5Digest {
 public:
  Md5Digest();
  ~Md5Digest();
  Md5Digest(const Md5Digest&) = delete;
  Md5Digest& operator=(const Md5Digest&) = delete;

  void Update(const void* data, std::size_t length);
  // Finishes the digest; returns the 16 binary bytes.
  const std::array<std::uint8_t, 16>& Final();
  // Writes the text form into `out` and sets capacity to 32. Returns null and
  // leaves both untouched when out is null or capacity is 32 or less.
  char* ToHex(char* out, unsigned& capacity) const;

 private:
  struct Context;
  Context* context_;
  std::array<std::uint8_t, 16> digest_{};
};

// MD5 text form of the file at `path` (digest of empty input when the file
// cannot be opened). `out` holds at least 33 bytes. Returns 1.
int DigestFile(std::u16string_view path, char* out, const DigestProgress& progress = {});
// MD5 text form of `count` bytes at `data`. Returns 1.
int DigestBuffer(const void* data, std::int64_t count, char* out,
                 const DigestProgress& progress = {});

// Convenience: the text form as a std::string (32 characters).
std::string Md5Hex(std::string_view bytes);

}  // namespace launcher
