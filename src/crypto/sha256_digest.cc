// SHA-256 through OpenSSL's EVP interface, which uses the CPU's SHA
// instructions where it has them.
#include "crypto/sha256_digest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <vector>

#include "files/regular_file.h"

namespace launcher {
namespace {

// Installed files are read in large pieces: the digest runs at more than a
// gigabyte a second, where small reads would cost more than the hashing.
constexpr std::size_t kReadPiece = 256 * 1024;

// Fetched once, so that each digest skips the provider look-up.
const EVP_MD* Sha256Algorithm() {
  static const EVP_MD* const md = [] {
    EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched != nullptr ? static_cast<const EVP_MD*>(fetched) : EVP_sha256();
  }();
  return md;
}

std::string ToHex(const unsigned char* bytes, std::size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(count * 2, '0');
  for (std::size_t i = 0; i < count; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0x0f];
  }
  return text;
}

}  // namespace

struct Sha256Digest::Context {
  EVP_MD_CTX* ctx = nullptr;
};

Sha256Digest::Sha256Digest() : context_(new Context) {
  context_->ctx = EVP_MD_CTX_new();
  if (context_->ctx != nullptr &&
      EVP_DigestInit_ex(context_->ctx, Sha256Algorithm(), nullptr) != 1) {
    EVP_MD_CTX_free(context_->ctx);
    context_->ctx = nullptr;
  }
}

Sha256Digest::~Sha256Digest() {
  EVP_MD_CTX_free(context_->ctx);
  delete context_;
}

void Sha256Digest::Update(const void* data, std::size_t length) {
  if (context_->ctx == nullptr || length == 0) return;
  EVP_DigestUpdate(context_->ctx, data, length);
}

const std::string& Sha256Digest::FinalHex() {
  if (context_->ctx != nullptr) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    // A context that failed leaves an empty text, which matches no digest.
    if (EVP_DigestFinal_ex(context_->ctx, digest, &length) == 1) hex_ = ToHex(digest, length);
    EVP_MD_CTX_free(context_->ctx);
    context_->ctx = nullptr;
  }
  return hex_;
}

std::array<std::uint8_t, 32> Sha256Raw(std::string_view bytes) {
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, Sha256Algorithm(), nullptr);
  return digest;
}

std::string Sha256Hex(std::string_view bytes) {
  const std::array<std::uint8_t, 32> digest = Sha256Raw(bytes);
  return ToHex(digest.data(), digest.size());
}

bool Sha256File(std::u16string_view path, std::string& hex, std::uint64_t& size,
                const DigestProgress& progress) {
  RegularFile file(path);
  if (!file.is_open()) return false;
  file.AdviseSequential();
  const std::uint64_t expected = file.size();
  if (progress) progress(0);
  Sha256Digest digest;
  std::vector<unsigned char> buffer(kReadPiece);
  std::uint64_t total = 0;
  for (;;) {
    const std::int64_t n = file.ReadFull(buffer.data(), buffer.size());
    if (n < 0) return false;
    digest.Update(buffer.data(), static_cast<std::size_t>(n));
    total += static_cast<std::uint64_t>(n);
    if (progress && expected > 0) {
      progress(total >= expected ? 100 : static_cast<int>(total * 100 / expected));
    }
    if (static_cast<std::size_t>(n) < buffer.size()) break;
  }
  if (progress) progress(100);
  hex = digest.FinalHex();
  size = total;
  return !hex.empty();
}

bool IsSha256Hex(std::string_view text) {
  return text.size() == kSha256HexChars && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

}  // namespace launcher
