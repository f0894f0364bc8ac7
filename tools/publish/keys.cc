#include "publish/keys.h"

#include <openssl/rsa.h>
#include "crypto/openssl_handles.h"

#include <memory>

namespace launcher::publish {

using openssl::PublicPem;
using PkeyPtr = openssl::KeyPtr;

std::optional<KeyPair> GenerateKeyPair(int bits) {
  if (bits < 512 || bits > 16384) return std::nullopt;
  PkeyPtr key(EVP_RSA_gen(static_cast<unsigned>(bits)));  // exponent 65537
  if (!key) return std::nullopt;
  auto priv = openssl::PrivatePem(key.get());
  auto pub = PublicPem(key.get());
  if (!priv || !pub) return std::nullopt;
  return KeyPair{*priv, *pub};
}

std::optional<std::string> PublicPemFromPrivate(std::string_view privatePem, int* bits) {
  PkeyPtr key = openssl::ReadPrivateKey(privatePem, 1u << 20, "RSA");
  if (!key) return std::nullopt;
  if (bits != nullptr) *bits = EVP_PKEY_get_bits(key.get());
  return PublicPem(key.get());
}

}  // namespace launcher::publish
