// The cryptography of the release statement: SHA-256, Ed25519 against the
// published test vector, key ids and the compiled-in key set, base64.
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

// An RFC 8410 "PUBLIC KEY" for 32 raw key bytes.
std::string PublicPemOf(const std::string& raw) {
  const std::string spki = Unhex("302a300506032b6570032100") + raw;
  return "-----BEGIN PUBLIC KEY-----\n" + Base64Encode(spki) + "\n-----END PUBLIC KEY-----\n";
}

TEST(ReleaseCryptoTest, Sha256OfBuffersAndFiles) {
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_TRUE(IsSha256Hex(Sha256Hex("")));
  EXPECT_FALSE(IsSha256Hex(std::string(64, 'A')));

  // A file across several read pieces, and a file that is not one.
  testing::TempDir dir;
  std::string content(600 * 1024 + 7, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31 % 251);
  testing::WriteFileBytes(dir / "f", content);
  std::string hex;
  std::uint64_t size = 0;
  int last = -1;
  ASSERT_TRUE(Sha256File((dir / "f").u16string(), hex, size, [&](int p) { last = p; }));
  EXPECT_EQ(hex, Sha256Hex(content));
  EXPECT_EQ(size, content.size());
  EXPECT_EQ(last, 100);
  EXPECT_FALSE(Sha256File(dir.path().u16string(), hex, size));
  EXPECT_FALSE(Sha256File((dir / "missing").u16string(), hex, size));
}

TEST(ReleaseCryptoTest, Ed25519MatchesTheRfcVectorAndRefusesChanges) {
  // RFC 8032, section 7.1, test 1: the empty message.
  const std::string raw = Unhex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
  const std::string signature = Unhex(
      "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9"
      "b46bd25bf5f0595bbe24655141438e7a100b");
  auto key = Ed25519PublicKey::FromPem(PublicPemOf(raw));
  ASSERT_NE(key, nullptr);
  EXPECT_TRUE(key->Verify("", signature));
  EXPECT_EQ(key->key_id(), Sha256Hex(raw).substr(0, 16));
  std::string flipped = signature;
  flipped[10] = static_cast<char>(flipped[10] ^ 1);
  EXPECT_FALSE(key->Verify("", flipped));
  EXPECT_FALSE(key->Verify("x", signature));
  EXPECT_FALSE(key->Verify("", signature.substr(0, 63)));

  // A pair made here signs; only its own public half verifies.
  auto pair = GenerateEd25519KeyPair();
  auto other = GenerateEd25519KeyPair();
  ASSERT_TRUE(pair && other);
  EXPECT_EQ(Ed25519PublicPemFromPrivate(pair->privatePem), pair->publicPem);
  auto made = Ed25519Sign(pair->privatePem, "statement");
  ASSERT_TRUE(made);
  EXPECT_TRUE(Ed25519PublicKey::FromPem(pair->publicPem)->Verify("statement", *made));
  EXPECT_FALSE(Ed25519PublicKey::FromPem(other->publicPem)->Verify("statement", *made));
  // Keys of another type are not Ed25519 keys.
  EXPECT_EQ(
      Ed25519PublicKey::FromPem("-----BEGIN PUBLIC KEY-----\nMFwwDQYJ\n-----END PUBLIC KEY-----\n"),
      nullptr);
  EXPECT_FALSE(Ed25519Sign(pair->publicPem, "x"));
}

TEST(ReleaseCryptoTest, KeySetsFindTheirKeysAndAnUnreadableKeyTrustsNothing) {
  auto a = GenerateEd25519KeyPair();
  auto b = GenerateEd25519KeyPair();
  ASSERT_TRUE(a && b);
  const std::string idA = Ed25519PublicKey::FromPem(a->publicPem)->key_id();
  const std::string idB = Ed25519PublicKey::FromPem(b->publicPem)->key_id();

  const ReleaseKeys both({a->publicPem, b->publicPem});
  EXPECT_EQ(both.configured(), 2u);
  EXPECT_NE(both.Find(idA), nullptr);
  EXPECT_NE(both.Find(idB), nullptr);
  const ReleaseKeys broken({a->publicPem, "not a key"});
  EXPECT_EQ(broken.configured(), 2u);
  EXPECT_EQ(broken.Find(idA), nullptr);
  const ReleaseKeys three({a->publicPem, b->publicPem, a->publicPem});
  EXPECT_EQ(three.Find(idA), nullptr);

  // The installed set is a seam; nullptr puts the compiled-in one back.
  const ReleaseKeys* before = SetReleaseKeys(&both);
  EXPECT_TRUE(ReleaseStatementsRequired());
  EXPECT_EQ(SetReleaseKeys(before), &both);
}

TEST(ReleaseCryptoTest, Base64DecodesOnlyTheCanonicalForm) {
  EXPECT_EQ(Base64Encode("any carnal pleas"), "YW55IGNhcm5hbCBwbGVhcw==");
  EXPECT_EQ(Base64Decode("YW55IGNhcm5hbCBwbGVhcw==").value_or("-"), "any carnal pleas");
  EXPECT_EQ(Base64Decode("").value_or("-"), "");
  for (const char* bad : {"YW55IGNhcm5hbCBwbGVhcw=", "YW55IGNhcm5hbCBwbGVhcx==", " YW55", "YW5 5",
                          "YW55IGNhcm5hbCBwbGVhcw==\n"}) {
    EXPECT_FALSE(Base64Decode(bad)) << bad;
  }
}

}  // namespace
}  // namespace launcher
