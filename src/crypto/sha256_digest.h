// SHA-256 of a stream of bytes, for contents that must be identified
// strongly (the result of a patch). Text form: 64 lower-case hexadecimal
// characters.
//
// A Sha256Digest is used by one thread at a time; different objects are
// independent.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace launcher {

inline constexpr std::size_t kSha256HexChars = 64;

class Sha256Digest {
 public:
  Sha256Digest();
  ~Sha256Digest();
  Sha256Digest(const Sha256Digest&) = delete;
  Sha256Digest& operator=(const Sha256Digest&) = delete;

  void Update(const void* data, std::size_t length);
  // Finishes the digest and returns its text form; empty when the library
  // failed. Later updates are ignored.
  std::string FinalHex();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// The text form of the SHA-256 of `bytes`.
std::string Sha256Hex(std::string_view bytes);

// True for exactly 64 lower-case hexadecimal characters.
bool IsSha256Hex(std::string_view text);

}  // namespace launcher
