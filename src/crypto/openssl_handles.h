// Owning handles for the OpenSSL objects the crypto code and the publisher
// use, and the small conversions between PEM text and keys they share.
// Included only by .cc files (OpenSSL stays out of the public headers).
// Any thread; each handle is used by one thread at a time.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace launcher::openssl {

struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct KeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;

// A read-only memory BIO over `text`, which must outlive it; null for empty
// text or text above `limit` bytes.
inline BioPtr ReadOnlyBio(std::string_view text, std::size_t limit) {
  if (text.empty() || text.size() > limit) return nullptr;
  return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

// The private key of type `type` ("RSA", "ED25519") in `pem`; null for
// anything else. An encrypted key fails instead of prompting on the
// terminal.
inline KeyPtr ReadPrivateKey(std::string_view pem, std::size_t limit, const char* type) {
  BioPtr bio = ReadOnlyBio(pem, limit);
  if (!bio) return nullptr;
  static char kNoPassword[] = "";
  KeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, kNoPassword));
  return key && EVP_PKEY_is_a(key.get(), type) == 1 ? std::move(key) : nullptr;
}

// What a memory BIO holds.
inline std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

// The unencrypted private key PEM of `key`.
inline std::optional<std::string> PrivatePem(EVP_PKEY* key) {
  BioPtr out(BIO_new(BIO_s_mem()));
  if (!out ||
      PEM_write_bio_PrivateKey(out.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return std::nullopt;
  }
  return BioText(out.get());
}

// The "PUBLIC KEY" PEM of `key`.
inline std::optional<std::string> PublicPem(EVP_PKEY* key) {
  BioPtr out(BIO_new(BIO_s_mem()));
  if (!out || PEM_write_bio_PUBKEY(out.get(), key) != 1) return std::nullopt;
  return BioText(out.get());
}

}  // namespace launcher::openssl
