// Verification of signed files (the file lists): content, the marker line
// "-----BEGIN KESTREL SIGNATURE-----", then a base64 RSA PKCS #1 v1.5
// signature with MD5 over the content as text-mode reading presents it
// (CR LF read as LF, a lone CR kept, a byte 0x1A ends the text).
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace launcher {

inline constexpr std::string_view kSignatureMarker = "-----BEGIN KESTREL SIGNATURE-----";

class SignatureVerifier {
 public:
  // Loads a PEM "PUBLIC KEY". A key that cannot be read leaves the verifier
  // without a key: every verification then fails.
  explicit SignatureVerifier(std::string_view publicKeyPem);
  ~SignatureVerifier();
  SignatureVerifier(const SignatureVerifier&) = delete;
  SignatureVerifier& operator=(const SignatureVerifier&) = delete;

  bool HasKey() const;
  // True when the file's signature is valid under the key.
  bool VerifySignedFile(std::u16string_view path) const;

 private:
  struct Key;
  std::unique_ptr<Key> key_;
};

// The verifier with the public key compiled into the program. Built on first
// use (before the worker starts) and kept until the process ends.
const SignatureVerifier& CompiledInVerifier();

}  // namespace launcher
