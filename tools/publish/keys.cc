#include "publish/keys.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <memory>

namespace launcher::publish {

namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

std::optional<std::string> PublicPem(EVP_PKEY* key) {
  BioPtr out(BIO_new(BIO_s_mem()));
  if (!out || PEM_write_bio_PUBKEY(out.get(), key) != 1) return std::nullopt;
  return BioText(out.get());
}

}  // namespace

std::optional<KeyPair> GenerateKeyPair(int bits) {
  if (bits < 512 || bits > 16384) return std::nullopt;
  PkeyPtr key(EVP_RSA_gen(static_cast<unsigned>(bits)));  // exponent 65537
  if (!key) return std::nullopt;
  BioPtr priv(BIO_new(BIO_s_mem()));
  if (!priv ||
      PEM_write_bio_PrivateKey(priv.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return std::nullopt;
  }
  auto pub = PublicPem(key.get());
  if (!pub) return std::nullopt;
  return KeyPair{BioText(priv.get()), *pub};
}

std::optional<std::string> PublicPemFromPrivate(std::string_view privatePem, int* bits) {
  BioPtr in(BIO_new_mem_buf(privatePem.data(), static_cast<int>(privatePem.size())));
  if (!in) return std::nullopt;
  PkeyPtr key(PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr));
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) return std::nullopt;
  if (bits != nullptr) *bits = EVP_PKEY_get_bits(key.get());
  return PublicPem(key.get());
}

}  // namespace launcher::publish
