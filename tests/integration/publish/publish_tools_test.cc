// The helper commands of launcher-publish: keygen, sign, pack/unpack,
// encode-path/decode-path, run as real processes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "crypto/md5_digest.h"
#include "crypto/signature_verifier.h"
#include "files/utf16.h"
#include "support/publish_fixture.h"
#include "support/temp_dir.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;

bool Verifies(const fs::path& publicKey, const fs::path& file) {
  SignatureVerifier verifier(ReadFileBytes(publicKey));
  return verifier.VerifySignedFile(FromUtf8Lossy(file.string()));
}

TEST(PublishToolsTest, KeygenWritesAPairInTheLaunchersFormat) {
  TempDir dir;
  ProcessResult made = RunPublish({"keygen", "--out", (dir / "keys").string()});
  ASSERT_EQ(made.status, 0) << made.err;
  struct stat st {};
  ASSERT_EQ(stat((dir / "keys" / "private.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string publicPem = ReadFileBytes(dir / "keys" / "public.pem");
  EXPECT_EQ(publicPem.size(), 272u);  // 1024-bit RSA key, exponent 65537
  EXPECT_TRUE(publicPem.starts_with("-----BEGIN PUBLIC KEY-----\n"));

  // The new pair signs and verifies; another public key refuses.
  WriteFileBytes(dir / "list", "+00112233445566778899aabbccddeeff /ZGF0YQ==\n");
  ASSERT_EQ(RunPublish(
                {"sign", (dir / "list").string(), "--key", (dir / "keys" / "private.pem").string()})
                .status,
            0);
  EXPECT_TRUE(Verifies(dir / "keys" / "public.pem", dir / "list"));
  EXPECT_FALSE(Verifies(TestPublicKeyPath(), dir / "list"));

  // An existing key is never overwritten.
  ProcessResult again = RunPublish({"keygen", "--out", (dir / "keys").string()});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(ReadFileBytes(dir / "keys" / "public.pem"), publicPem);

  ProcessResult wide = RunPublish({"keygen", "--out", (dir / "wide").string(), "--bits", "2048"});
  EXPECT_EQ(wide.status, 0);
  EXPECT_NE(wide.err.find("warning"), std::string::npos);
}

TEST(PublishToolsTest, SignHandlesCrLfMissingFinalLineBreakAndResigning) {
  TempDir dir;
  const std::string key = TestPrivateKeyPath().string();
  WriteFileBytes(dir / "crlf", "# note\r\n+00112233445566778899aabbccddeeff /ZGF0YQ==");
  ASSERT_EQ(RunPublish(
                {"sign", (dir / "crlf").string(), "--key", key, "--out", (dir / "signed").string()})
                .status,
            0);
  EXPECT_EQ(ReadFileBytes(dir / "crlf"), "# note\r\n+00112233445566778899aabbccddeeff /ZGF0YQ==");
  const std::string signedFile = ReadFileBytes(dir / "signed");
  EXPECT_TRUE(signedFile.starts_with(
      "# note\n+00112233445566778899aabbccddeeff /ZGF0YQ==\n-----BEGIN KESTREL SIGNATURE-----\n"));
  EXPECT_TRUE(Verifies(TestPublicKeyPath(), dir / "signed"));

  // Signing a signed file again keeps one signature block.
  ASSERT_EQ(RunPublish({"sign", (dir / "signed").string(), "--key", key}).status, 0);
  EXPECT_EQ(ReadFileBytes(dir / "signed"), signedFile);

  WriteFileBytes(dir / "bad.pem", "nonsense");
  ProcessResult bad =
      RunPublish({"sign", (dir / "signed").string(), "--key", (dir / "bad.pem").string()});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(ReadFileBytes(dir / "signed"), signedFile);
}

TEST(PublishToolsTest, PackAndUnpackRoundTripWithTheListDigest) {
  TempDir dir;
  std::string content;
  for (int i = 0; i < 20000; ++i) content += "line " + std::to_string(i % 97) + "\n";
  WriteFileBytes(dir / "plain", content);
  ProcessResult pack = RunPublish({"pack", (dir / "plain").string(), (dir / "packed").string()});
  ASSERT_EQ(pack.status, 0) << pack.err;
  EXPECT_EQ(pack.out, Md5Hex(ReadFileBytes(dir / "packed")) + "\n");
  EXPECT_LT(fs::file_size(dir / "packed"), content.size());
  ASSERT_EQ(RunPublish({"unpack", (dir / "packed").string(), (dir / "back").string()}).status, 0);
  EXPECT_EQ(ReadFileBytes(dir / "back"), content);
  // Damaged input is refused and leaves no target.
  WriteFileBytes(dir / "damaged", ReadFileBytes(dir / "packed").substr(0, 40));
  EXPECT_EQ(RunPublish({"unpack", (dir / "damaged").string(), (dir / "none").string()}).status, 1);
  EXPECT_FALSE(fs::exists(dir / "none"));
}

TEST(PublishToolsTest, EncodeAndDecodePaths) {
  ProcessResult encoded = RunPublish({"encode-path", "data/main.exe"});
  EXPECT_EQ(encoded.out, "./ZGF0YQ==/bWFpbi5leGU=\n");
  EXPECT_EQ(RunPublish({"decode-path", "/ZGF0YQ==/bWFpbi5leGU="}).out, "./data/main.exe\n");
  EXPECT_EQ(RunPublish({"decode-path", "/QWIgYw=="}).out, "./Ab c\n");
  EXPECT_EQ(RunPublish({"decode-path", "bWFpbg==.ZXhl"}).out, "main.exe\n");
  EXPECT_EQ(RunPublish({"decode-path", "/Li4=/ZXRj"}).status, 1);  // "./../etc"
  EXPECT_EQ(RunPublish({"encode-path", "a\\b"}).status, 1);
  EXPECT_EQ(RunPublish({"frobnicate"}).status, 2);
}

}  // namespace
}  // namespace launcher::testing
