// Tampered lists and files, end to end through the full check: every list
// whose signature does not hold for the compiled-in key is refused before
// anything is fetched, and a served file that does not have its listed
// digest is never installed. Nothing under ../patcher/ changes, nothing is
// written outside the working trees.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/md5.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <string>
#include <vector>

#include "crypto/signer.h"
#include "files/string_table.h"
#include "torture/torture_bed.h"
#include "update/incremental_update.h"
#include "update/list_path.h"
#include "update/update_state.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::Release;
using testing::ServerTree;
using testing::WriteFileBytes;

const std::string kMarker = "-----BEGIN KESTREL SIGNATURE-----\n";

std::string Base64Lines(const std::string& bytes) {
  std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  encoded.resize(static_cast<std::size_t>(n));
  std::string lines;
  for (std::size_t i = 0; i < encoded.size(); i += 64) lines += encoded.substr(i, 64) + "\n";
  return lines;
}

// The raw RSA private operation on a 128-byte block of our own making, so
// that the block can break the PKCS #1 v1.5 rules in chosen ways.
std::string RawPrivateOperation(const std::string& pem, const std::string& block) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (key == nullptr) return {};
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  std::string out(256, '\0');
  std::size_t outLen = out.size();
  const bool ok =
      EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING) == 1 &&
      EVP_PKEY_sign(ctx, reinterpret_cast<unsigned char*>(out.data()), &outLen,
                    reinterpret_cast<const unsigned char*>(block.data()), block.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(key);
  if (!ok) return {};
  out.resize(outLen);
  return out;
}

std::string Md5Of(const std::string& text) {
  unsigned char digest[16];
  unsigned int len = 0;
  EVP_Digest(text.data(), text.size(), digest, &len, EVP_md5(), nullptr);
  return std::string(reinterpret_cast<char*>(digest), len);
}

std::string Hex(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

// DigestInfo prefixes (DER) for MD5 and SHA-1.
const std::string kMd5Info = Hex({0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7,
                                  0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10});
const std::string kSha1Info =
    Hex({0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14});

// 00 01 FF..FF 00 || payload, 128 bytes, with the padding bytes given.
std::string Block(const std::string& payload, char type = 1, char fill = '\xFF') {
  std::string block = std::string(1, '\0') + std::string(1, type);
  block += std::string(128 - 3 - payload.size(), fill);
  block += '\0';
  return block + payload;
}

class TamperTest : public testing::TortureBed {
 protected:
  void SetUp() override {
    Install(old_);
    content_ = FullListContent(new_);
    good_ = ServerTree::Sign(content_);
    StartNginx();
    patcher_ = PatcherState();
    rest_ = RestState();
  }

  // Serves `list`, runs a full check and checks that it was refused whole.
  void ExpectRefused(const std::string& list, const std::string& what) {
    SCOPED_TRACE(what);
    ServeFullList(list);
    EXPECT_FALSE(RunFullCheckOnce());
    EXPECT_TRUE(StatusShown(MSG_LIST_UNUSABLE));
    EXPECT_TRUE(StatusShown(MSG_FULL_CHECK_FAILED));
    EXPECT_EQ(FileRequestCount(), 0u) << "a refused list is never read";
    ExpectPatcherUnchanged(patcher_);
    EXPECT_FALSE(fs::exists(env_.Config("version.sw")));
    EXPECT_FALSE(fs::exists(env_.Config("Check")));
    ExpectNothingStray(rest_);
  }

  std::string SignedWithBlock(const std::string& block) {
    return content_ + kMarker + Base64Lines(RawPrivateOperation(testing::TestPrivateKey(), block));
  }

  const Release old_ = {{"main.exe", "old main"}, {"data/a.pak", "old a"}};
  const Release new_ = {
      {"main.exe", "new main"}, {"data/a.pak", testing::NoiseBytes(4000, 3)}, {"b.ini", "b"}};
  std::string content_;
  std::string good_;
  testing::TreeState patcher_;
  testing::TreeState rest_;
};

TEST_F(TamperTest, ChangedListsAreRefusedBeforeAnyFetch) {
  std::string flipped = good_;
  flipped[5] = flipped[5] == 'a' ? 'b' : 'a';
  ExpectRefused(flipped, "one digest character changed");

  const std::size_t marker = good_.find(kMarker);
  const std::string extra = testing::FullListLine(std::string(32, 'c'), "evil.exe");
  ExpectRefused(good_.substr(0, marker) + extra + good_.substr(marker), "entry appended");
  ExpectRefused(extra + good_, "entry put in front");

  // A lone CR is content for the text-mode reading, so converting the line
  // ends to CR changes what was signed.
  std::string crOnly = good_.substr(0, marker);
  for (char& c : crOnly) c = c == '\n' ? '\r' : c;
  ExpectRefused(crOnly + "\n" + good_.substr(marker), "line ends turned into CR");
  ExpectRefused(good_.substr(0, marker - 1) + good_.substr(marker), "last line end removed");
  ExpectRefused(content_, "signature block removed");
  ExpectRefused(content_ + kMarker, "empty signature block");
}

TEST_F(TamperTest, ForeignAndBrokenSignaturesAreRefused) {
  const std::string otherKey =
      ReadFileBytes(fs::path(LAUNCHER_SOURCE_DIR) / "resources/keys/other-private.pem");
  auto other = MakeSignedFile(otherKey, content_);
  ASSERT_TRUE(other.has_value());
  ExpectRefused(*other, "signed with another key");

  const std::size_t marker = good_.find(kMarker) + kMarker.size();
  const std::string signature = good_.substr(marker);
  ExpectRefused(good_.substr(0, marker) + signature.substr(0, 100) + "\n", "truncated signature");
  ExpectRefused(good_.substr(0, marker) + signature.substr(0, signature.size() - 5) + "\n",
                "signature short by its last characters");
  ExpectRefused(good_ + signature, "signature block repeated");
  std::string garbled = good_;
  garbled[marker + 10] = garbled[marker + 10] == 'A' ? 'B' : 'A';
  ExpectRefused(garbled, "one signature character changed");
}

// Blocks signed with the raw private operation. The well-formed one proves
// the construction; every malformed one must be refused even though it was
// made with the right key over the right digest.
TEST_F(TamperTest, MalformedSignatureBlocksAreRefused) {
  const std::string digest = Md5Of(TextModeContent(content_));

  const std::string wellFormed = SignedWithBlock(Block(kMd5Info + digest));
  ServeFullList(wellFormed);
  ASSERT_TRUE(RunFullCheckOnce()) << "the hand-made block must match the signer's";
  EXPECT_EQ(Installed(), new_);

  Install(old_);
  fs::remove(env_.Config("version.sw"));
  patcher_ = PatcherState();
  nginx_.reset();
  StartNginx();

  ExpectRefused(SignedWithBlock(Block(kSha1Info + digest + "\0\0\0\0")),
                "SHA-1 DigestInfo around the MD5 digest");
  ExpectRefused(SignedWithBlock(Block(kMd5Info.substr(0, 13) + Hex({0x04, 0x10}) + digest)),
                "DigestInfo without the NULL parameters and lengths adjusted wrongly");
  ExpectRefused(SignedWithBlock(Block(kMd5Info + digest + std::string(20, '\x42'))),
                "garbage after the digest, padding shortened");
  ExpectRefused(SignedWithBlock(Block(kMd5Info + digest, 2)), "block type 2");
  ExpectRefused(SignedWithBlock(Block(kMd5Info + digest, 1, '\x7F')), "padding not FF");
  std::string shortPad = std::string(1, '\0') + "\x01" + std::string(4, '\xFF') + '\0';
  shortPad += std::string(128 - shortPad.size() - kMd5Info.size() - 16, '\x55') + kMd5Info + digest;
  ExpectRefused(SignedWithBlock(shortPad), "too little padding, junk before the DigestInfo");
  std::string wrongDigest = digest;
  wrongDigest[0] = static_cast<char>(wrongDigest[0] ^ 1);
  ExpectRefused(SignedWithBlock(Block(kMd5Info + wrongDigest)), "digest of other content");
}

TEST_F(TamperTest, CrLfCopyOfTheListStillVerifies) {
  // Converting LF to CR LF is what a text-mode transfer does; the signature
  // is taken over the text-mode reading, so the list stays usable.
  const std::size_t marker = good_.find(kMarker);
  std::string crlf;
  for (char c : good_.substr(0, marker))
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  ServeFullList(crlf + good_.substr(marker));
  EXPECT_TRUE(RunFullCheckOnce());
  EXPECT_EQ(Installed(), new_);
  ExpectNothingStray(rest_);
}

// A served file changed at the same size: the list still verifies, the
// file's digest does not. It is fetched twice, never installed, and the
// whole update fails with ../patcher/ as it was. Both update paths.
TEST_F(TamperTest, ServedFileAlteredAtTheSameSizeIsNeverInstalled) {
  ServeFullList(good_);
  const fs::path served =
      tree_.root() / "patcher" / "patcher" / EncodeListPath("data/a.pak").substr(2);
  std::string bytes = ReadFileBytes(served);
  ASSERT_GT(bytes.size(), 20u);
  bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x20);
  WriteFileBytes(served, bytes);

  EXPECT_FALSE(RunFullCheckOnce());
  EXPECT_TRUE(StatusShown(MSG_FULL_CHECK_FAILED));
  ExpectPatcherUnchanged(patcher_);
  EXPECT_FALSE(fs::exists(env_.Config("version.sw")));
  EXPECT_FALSE(fs::exists(env_.Config("Check/data/a.pak")));
  EXPECT_FALSE(fs::exists(env_.Config("Check/./data/a.pak")));

  // The incremental path with the same altered file.
  env_.NewRun();
  const std::string incList = [&] {
    std::string list;
    std::size_t start = 0;
    while (start < content_.size()) {
      const std::size_t end = content_.find('\n', start);
      list += "+" + content_.substr(start, end + 1 - start);
      start = end + 1;
    }
    return list;
  }();
  tree_.WriteSignedList(1, incList);
  LocalVersion = 1;
  ServerVersion = 2;
  EXPECT_EQ(RunIncrementalUpdate(), 0);
  ExpectPatcherUnchanged(patcher_);
  EXPECT_FALSE(fs::exists(env_.Config("version.sw")));
  for (const auto& [rel, value] : testing::SnapshotTree(env_.Config("temp"))) {
    EXPECT_EQ(rel.find("a.pak"), std::string::npos) << "staged: " << rel;
  }
  ExpectNothingStray(rest_);
}

}  // namespace
}  // namespace launcher
