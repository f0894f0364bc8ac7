#include "crypto/sha256_digest.h"

#include <openssl/evp.h>

namespace launcher {

struct Sha256Digest::Context {
  EVP_MD_CTX* ctx = nullptr;
  ~Context() { EVP_MD_CTX_free(ctx); }
};

Sha256Digest::Sha256Digest() : context_(std::make_unique<Context>()) {
  context_->ctx = EVP_MD_CTX_new();
  if (context_->ctx != nullptr && EVP_DigestInit_ex(context_->ctx, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(context_->ctx);
    context_->ctx = nullptr;
  }
}

Sha256Digest::~Sha256Digest() = default;

void Sha256Digest::Update(const void* data, std::size_t length) {
  if (context_->ctx == nullptr || length == 0) return;
  EVP_DigestUpdate(context_->ctx, data, length);
}

std::string Sha256Digest::FinalHex() {
  if (context_->ctx == nullptr) return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const bool ok = EVP_DigestFinal_ex(context_->ctx, digest, &length) == 1 && length == 32;
  EVP_MD_CTX_free(context_->ctx);
  context_->ctx = nullptr;
  if (!ok) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(kSha256HexChars);
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0x0F]);
  }
  return text;
}

std::string Sha256Hex(std::string_view bytes) {
  Sha256Digest digest;
  digest.Update(bytes.data(), bytes.size());
  return digest.FinalHex();
}

bool IsSha256Hex(std::string_view text) {
  if (text.size() != kSha256HexChars) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace launcher
