// Ed25519 keys and signatures (RFC 8032, pure Ed25519) through OpenSSL 3's
// one-shot EVP_DigestSign and EVP_DigestVerify. Keys are PEM texts in the
// RFC 8410 form: "PUBLIC KEY" (SubjectPublicKeyInfo) and "PRIVATE KEY"
// (PKCS #8). Ed25519 signs whole messages in one call, so it is used for
// small documents only (the release statement), never for files.
//
// A key is identified by its key id: the first 8 bytes of the SHA-256 of
// its 32 raw public-key bytes, as 16 lower-case hexadecimal characters.
//
// Ed25519PublicKey is immutable once made and may be read from any thread;
// the free functions are safe from any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace launcher {

inline constexpr std::size_t kEd25519SignatureBytes = 64;
inline constexpr std::size_t kKeyIdChars = 16;

class Ed25519PublicKey {
 public:
  // Null when `pem` is not one readable "PUBLIC KEY" of type Ed25519.
  static std::unique_ptr<Ed25519PublicKey> FromPem(std::string_view pem);
  ~Ed25519PublicKey();
  Ed25519PublicKey(const Ed25519PublicKey&) = delete;
  Ed25519PublicKey& operator=(const Ed25519PublicKey&) = delete;

  const std::string& key_id() const { return keyId_; }
  // True when `signature` (64 raw bytes) is this key's signature of `message`.
  bool Verify(std::string_view message, std::string_view signature) const;

 private:
  struct Key;
  explicit Ed25519PublicKey(std::unique_ptr<Key> key, std::string keyId);
  std::unique_ptr<Key> key_;
  std::string keyId_;
};

struct Ed25519KeyPair {
  std::string privatePem;  // PKCS #8 "PRIVATE KEY"
  std::string publicPem;   // "PUBLIC KEY"
};

// A new key pair; nullopt when the library fails.
std::optional<Ed25519KeyPair> GenerateEd25519KeyPair();
// The public half of an Ed25519 private key; nullopt when `privatePem` is
// not one.
std::optional<std::string> Ed25519PublicPemFromPrivate(std::string_view privatePem);
// The 64-byte signature of `message` under the private key; nullopt when the
// key is not an Ed25519 private key or signing fails.
std::optional<std::string> Ed25519Sign(std::string_view privatePem, std::string_view message);

}  // namespace launcher
