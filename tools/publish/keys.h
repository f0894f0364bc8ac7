// RSA key pairs for signing lists: generation and deriving the public half.
// Keys are PEM texts: the private key as PKCS #8 ("PRIVATE KEY"), the public
// key as SubjectPublicKeyInfo ("PUBLIC KEY"), the form the launcher compiles
// in. Thread-safe (no shared state).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace launcher::publish {

struct KeyPair {
  std::string privatePem;
  std::string publicPem;
};

// A new RSA key of `bits` bits with the public exponent 65537; nullopt when
// the library refuses (for instance a size below its minimum).
std::optional<KeyPair> GenerateKeyPair(int bits);

// The public half of a PEM private key, and its size in bits; nullopt when
// the text is not a readable RSA private key.
std::optional<std::string> PublicPemFromPrivate(std::string_view privatePem, int* bits = nullptr);

}  // namespace launcher::publish
