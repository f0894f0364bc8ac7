#include "crypto/ed25519.h"

#include <array>

#include "crypto/openssl_handles.h"
#include "crypto/sha256_digest.h"

namespace launcher {
namespace {

using openssl::BioPtr;
using openssl::KeyPtr;
using openssl::MdCtxPtr;
using openssl::PublicPem;

constexpr std::size_t kMaxPemBytes = 16 * 1024;

BioPtr ReadOnlyBio(std::string_view text) { return openssl::ReadOnlyBio(text, kMaxPemBytes); }

bool IsEd25519(EVP_PKEY* key) { return key != nullptr && EVP_PKEY_is_a(key, "ED25519") == 1; }

KeyPtr ReadPrivateKey(std::string_view pem) {
  return openssl::ReadPrivateKey(pem, kMaxPemBytes, "ED25519");
}

}  // namespace

struct Ed25519PublicKey::Key {
  KeyPtr pkey;
};

Ed25519PublicKey::Ed25519PublicKey(std::unique_ptr<Key> key, std::string keyId)
    : key_(std::move(key)), keyId_(std::move(keyId)) {}

Ed25519PublicKey::~Ed25519PublicKey() = default;

std::unique_ptr<Ed25519PublicKey> Ed25519PublicKey::FromPem(std::string_view pem) {
  BioPtr bio = ReadOnlyBio(pem);
  if (!bio) return nullptr;
  KeyPtr pkey(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  // Any other kind of key would make the verify call check another scheme.
  if (!IsEd25519(pkey.get())) return nullptr;
  std::array<unsigned char, 32> raw{};
  std::size_t length = raw.size();
  if (EVP_PKEY_get_raw_public_key(pkey.get(), raw.data(), &length) != 1 || length != raw.size()) {
    return nullptr;
  }
  const std::string keyId =
      Sha256Hex(std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()))
          .substr(0, kKeyIdChars);
  auto key = std::make_unique<Key>();
  key->pkey = std::move(pkey);
  return std::unique_ptr<Ed25519PublicKey>(new Ed25519PublicKey(std::move(key), keyId));
}

bool Ed25519PublicKey::Verify(std::string_view message, std::string_view signature) const {
  if (signature.size() != kEd25519SignatureBytes) return false;
  MdCtxPtr ctx(EVP_MD_CTX_new());
  // Ed25519 takes no digest of its own: the message goes in whole, once.
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key_->pkey.get()) != 1) {
    return false;
  }
  return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

std::optional<Ed25519KeyPair> GenerateEd25519KeyPair() {
  KeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  if (!key) return std::nullopt;
  auto priv = openssl::PrivatePem(key.get());
  auto pub = PublicPem(key.get());
  if (!priv || !pub) return std::nullopt;
  return Ed25519KeyPair{*priv, *pub};
}

std::optional<std::string> Ed25519PublicPemFromPrivate(std::string_view privatePem) {
  KeyPtr key = ReadPrivateKey(privatePem);
  if (!key) return std::nullopt;
  return PublicPem(key.get());
}

std::optional<std::string> Ed25519Sign(std::string_view privatePem, std::string_view message) {
  KeyPtr key = ReadPrivateKey(privatePem);
  if (!key) return std::nullopt;
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
    return std::nullopt;
  }
  std::string signature(kEd25519SignatureBytes, '\0');
  std::size_t length = signature.size();
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1 ||
      length != kEd25519SignatureBytes) {
    return std::nullopt;
  }
  return signature;
}

}  // namespace launcher
