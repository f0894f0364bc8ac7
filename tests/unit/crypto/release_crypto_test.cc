// The cryptography of the release statement: SHA-256, Ed25519 against the
// published test vector, key ids, the key set, base64.
#include <gtest/gtest.h>

#include <string>

#include "crypto/base64.h"
#include "crypto/ed25519.h"
#include "crypto/release_keys.h"
#include "crypto/sha256_digest.h"
#include "support/temp_dir.h"

namespace launcher {
namespace {

std::string Unhex(std::string_view hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

TEST(ReleaseCryptoTest, Sha256OfBuffersAndFiles) {
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // A file across several read pieces, and a directory, which is not one.
  testing::TempDir dir;
  std::string content(600 * 1024 + 7, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31 % 251);
  testing::WriteFileBytes(dir / "f", content);
  std::string hex;
  std::uint64_t size = 0;
  ASSERT_TRUE(Sha256File((dir / "f").u16string(), hex, size));
  EXPECT_EQ(hex, Sha256Hex(content));
  EXPECT_EQ(size, content.size());
  EXPECT_FALSE(Sha256File(dir.path().u16string(), hex, size));
}

TEST(ReleaseCryptoTest, Ed25519MatchesTheRfcVectorAndKeySetsFindTheirKeys) {
  // RFC 8032, section 7.1, test 1 (the empty message), through an RFC 8410
  // "PUBLIC KEY".
  const std::string raw = Unhex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
  const std::string pem = "-----BEGIN PUBLIC KEY-----\n" +
                          Base64Encode(Unhex("302a300506032b6570032100") + raw) +
                          "\n-----END PUBLIC KEY-----\n";
  const std::string signature = Unhex(
      "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9"
      "b46bd25bf5f0595bbe24655141438e7a100b");
  auto key = Ed25519PublicKey::FromPem(pem);
  ASSERT_NE(key, nullptr);
  EXPECT_TRUE(key->Verify("", signature));
  EXPECT_FALSE(key->Verify("x", signature));
  std::string flipped = signature;
  flipped[10] = static_cast<char>(flipped[10] ^ 1);
  EXPECT_FALSE(key->Verify("", flipped));
  EXPECT_EQ(key->key_id(), Sha256Hex(raw).substr(0, 16));

  // A set finds its keys by id; one unreadable key, or three, trust nothing.
  auto other = GenerateEd25519KeyPair();
  ASSERT_TRUE(other);
  EXPECT_TRUE(Ed25519PublicKey::FromPem(other->publicPem)
                  ->Verify("m", *Ed25519Sign(other->privatePem, "m")));
  EXPECT_NE(ReleaseKeys({pem, other->publicPem}).Find(key->key_id()), nullptr);
  EXPECT_EQ(ReleaseKeys({pem, "not a key"}).Find(key->key_id()), nullptr);
  EXPECT_EQ(ReleaseKeys({pem, pem, pem}).Find(key->key_id()), nullptr);
  EXPECT_EQ(ReleaseKeys({"not a key"}).configured(), 1u);
}

TEST(ReleaseCryptoTest, Base64DecodesOnlyTheCanonicalForm) {
  EXPECT_EQ(Base64Encode("any carnal pleas"), "YW55IGNhcm5hbCBwbGVhcw==");
  EXPECT_EQ(Base64Decode("YW55IGNhcm5hbCBwbGVhcw==").value_or("-"), "any carnal pleas");
  for (const char* bad : {"YW55IGNhcm5hbCBwbGVhcw=", "YW55IGNhcm5hbCBwbGVhcx==", " YW55",
                          "YW55IGNhcm5hbCBwbGVhcw==\n"}) {
    EXPECT_FALSE(Base64Decode(bad)) << bad;
  }
}

}  // namespace
}  // namespace launcher
