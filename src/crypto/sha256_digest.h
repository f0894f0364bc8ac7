// SHA-256 digests: the strong digests of the release manifest and the
// release statement, in their text form of 64 lower-case hexadecimal
// characters.
//
// Sha256Digest is a plain value used by one thread at a time; the free
// functions are safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/md5_digest.h"

namespace launcher {

inline constexpr std::size_t kSha256HexChars = 64;

class Sha256Digest {
 public:
  Sha256Digest();
  ~Sha256Digest();
  Sha256Digest(const Sha256Digest&) = delete;
  Sha256Digest& operator=(const Sha256Digest&) = delete;

  void Update(const void* data, std::size_t length);
  // Finishes the digest and returns its text form; later calls return the
  // same text.
  const std::string& FinalHex();

 private:
  struct Context;
  Context* context_;
  std::string hex_;
};

// The text form of the SHA-256 of `bytes`.
std::string Sha256Hex(std::string_view bytes);
// The raw 32 bytes of the SHA-256 of `bytes`.
std::array<std::uint8_t, 32> Sha256Raw(std::string_view bytes);

// The SHA-256 of the regular file at `path` and its size in bytes. False
// when it cannot be opened as a regular file or a read fails. `progress`,
// when given, goes from 0 to 100 with the bytes read (it may throw to end
// the worker; everything is released on the way out).
bool Sha256File(std::u16string_view path, std::string& hex, std::uint64_t& size,
                const DigestProgress& progress = {});

// True when `text` is 64 lower-case hexadecimal characters.
bool IsSha256Hex(std::string_view text);

}  // namespace launcher
