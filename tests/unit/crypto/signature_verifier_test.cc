#include "crypto/signature_verifier.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "signing_fixture.h"

namespace launcher {
namespace {

using namespace launcher::testing;

const std::string kContent =
    "# full list\n"
    "0cc175b9c0f1b6a831c399e269772661 /ZGF0YQ==/bWFpbi5leGU=\n"
    "900150983cd24fb0d6963f7d28e17f72 c2V0dXAuaW5p\n";

class VerifierTest : public ::testing::Test {
 protected:
  // Writes `bytes` as a list file and asks the test-key verifier about it.
  bool Verify(std::string_view bytes) const {
    WriteFileBytes(dir_ / "list.sw", bytes);
    return verifier_.VerifySignedFile(U16(dir_ / "list.sw"));
  }
  // content + marker line + signature made by the openssl command line over
  // `signedContent`.
  std::string Signed(std::string_view content, std::string_view signedContent,
                     std::string_view key = "test-private.pem") const {
    return std::string(content) + std::string(kMarkerLine) +
           OpensslSignBase64(dir_, signedContent, key);
  }
  std::string Signed(std::string_view content) const { return Signed(content, content); }

  TempDir dir_;
  SignatureVerifier verifier_{ReadKey("test-public.pem")};
};

TEST_F(VerifierTest, AcceptsListSignedByTheOpensslCommandLine) {
  ASSERT_TRUE(verifier_.HasKey());
  const std::string file = Signed(kContent);
  EXPECT_TRUE(Verify(file));
  // The compiled-in key of a default build is the test key.
  EXPECT_TRUE(CompiledInVerifier().HasKey());
  EXPECT_TRUE(CompiledInVerifier().VerifySignedFile(U16(dir_ / "list.sw")));
}

TEST_F(VerifierTest, RefusesAnotherKeyAndDamagedSignatures) {
  const std::string byOther = Signed(kContent, kContent, "other-private.pem");
  EXPECT_FALSE(Verify(byOther));
  EXPECT_TRUE(SignatureVerifier(ReadKey("other-public.pem"))
                  .VerifySignedFile(U16(dir_ / "list.sw")));  // the file itself is sound

  const std::string good = Signed(kContent);
  ASSERT_TRUE(Verify(good));
  // Truncated: the last base64 line dropped.
  std::string truncated = good.substr(0, good.size() - 1);
  truncated = truncated.substr(0, truncated.rfind('\n') + 1);
  EXPECT_FALSE(Verify(truncated));
  // Further base64 lines after the block make the signature too long.
  EXPECT_FALSE(Verify(good + "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZnaGlqa2xtbm9wcXJzdHV2\n"));
  // No signature at all after the marker.
  EXPECT_FALSE(Verify(kContent + std::string(kMarkerLine)));
  EXPECT_FALSE(Verify(kContent + std::string(kMarkerLine) + "!!!! not base64 !!!!\n"));
}

TEST_F(VerifierTest, RefusesChangedContent) {
  std::string changed = Signed(kContent);
  changed[10] = static_cast<char>(changed[10] ^ 1);
  EXPECT_FALSE(Verify(changed));

  // The line break before the marker removed.
  std::string joined = Signed(kContent);
  joined.erase(kContent.size() - 1, 1);
  EXPECT_FALSE(Verify(joined));

  // A line appended to the content.
  std::string appended = Signed(kContent);
  appended.insert(kContent.size(), "d41d8cd98f00b204e9800998ecf8427e ZXZpbA==\n");
  EXPECT_FALSE(Verify(appended));
}

TEST_F(VerifierTest, LineEndsAreReadInTextMode) {
  std::string crlf;
  for (const char c : kContent) {
    if (c == '\n') crlf.push_back('\r');
    crlf.push_back(c);
  }
  // Signed over the LF form: CR LF content verifies...
  EXPECT_TRUE(Verify(Signed(crlf, kContent)));
  // ...and a marker line ended by CR LF is still the marker.
  std::string crlfMarker = Signed(crlf, kContent);
  crlfMarker.insert(crlf.size() + kMarkerLine.size() - 1, "\r");
  EXPECT_TRUE(Verify(crlfMarker));
  // A signature over the raw CR LF bytes does not.
  EXPECT_FALSE(Verify(Signed(crlf, crlf)));
  // A lone CR is content and stays in the digest.
  EXPECT_TRUE(Verify(Signed("a\rb\n")));
  EXPECT_FALSE(Verify(Signed("a\rb\n", "ab\n")));
  // 0x1A ends the text: what follows it is never read.
  EXPECT_TRUE(Verify(Signed(kContent) + "\x1a" + "junk that is not base64\n"));
  EXPECT_FALSE(Verify(kContent + "\x1a" + Signed(kContent)));
}

TEST_F(VerifierTest, MarkerIsRecognisedByItsFirst33Characters) {
  // Trailing text on the marker line is ignored, even past a 255-byte piece.
  const std::string sig = OpensslSignBase64(dir_, kContent);
  EXPECT_TRUE(Verify(kContent + "-----BEGIN KESTREL SIGNATURE----- \n" + sig));
  EXPECT_TRUE(
      Verify(kContent + "-----BEGIN KESTREL SIGNATURE-----" + std::string(300, 'A') + "\n" + sig));
  // A blank before the marker makes it a content line: no marker is left.
  EXPECT_FALSE(Verify(kContent + " " + std::string(kMarkerLine) + sig));
  // No marker at all.
  EXPECT_FALSE(Verify(kContent));
  EXPECT_FALSE(Verify(kContent + sig));
  EXPECT_FALSE(Verify(""));
}

TEST_F(VerifierTest, LongLinesAreHashedWhole) {
  const std::string longLine = std::string(1000, 'x') + "\n" + std::string(255, 'y') + "\n";
  EXPECT_TRUE(Verify(Signed(longLine)));
}

TEST_F(VerifierTest, MarkerTextInsideALongLineIsContent) {
  // The marker text right after 255 bytes of a line starts a new piece but
  // not a new line, so it does not end the content.
  const std::string head(255, 'x');
  const std::string sig = OpensslSignBase64(dir_, head);
  EXPECT_FALSE(Verify(head + std::string(kMarkerLine) + sig));
}

TEST_F(VerifierTest, ContentWithANulIsRefused) {
  // The list reader reads whole lines, NULs included, so no part of a line
  // may escape the signature. A line that starts with a NUL, appended to a
  // signed list, would otherwise add an entry ("\0" is an operation that
  // installs) without changing what the signature covers.
  const std::string injected =
      std::string(1, '\0') + "+0123456789abcdef0123456789abcdef /ZXZpbA==\n";
  EXPECT_FALSE(Verify(Signed(kContent + injected, kContent)));
  const std::string withNul = std::string("abc\0def\n", 8) + "next\n";
  EXPECT_FALSE(Verify(Signed(withNul, "abcnext\n")));
  EXPECT_FALSE(Verify(Signed(withNul, withNul)));
}

TEST_F(VerifierTest, EmptyOrMissingPathIsFalseAndCreatesNothing) {
  EXPECT_FALSE(verifier_.VerifySignedFile(u""));
  EXPECT_FALSE(verifier_.VerifySignedFile(U16(dir_ / "missing.sw")));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing.sw"));
  std::filesystem::create_directory(dir_ / "folder");
  EXPECT_FALSE(verifier_.VerifySignedFile(U16(dir_ / "folder")));
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);  // would block a plain open
  EXPECT_FALSE(verifier_.VerifySignedFile(U16(dir_ / "fifo")));
}

TEST_F(VerifierTest, UnusableKeyRefusesEverything) {
  const std::string file = Signed(kContent);
  WriteFileBytes(dir_ / "list.sw", file);
  for (const std::string& pem :
       {std::string(), std::string("-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n"),
        ReadKey("test-private.pem")}) {
    SignatureVerifier broken(pem);
    EXPECT_FALSE(broken.HasKey());
    EXPECT_FALSE(broken.VerifySignedFile(U16(dir_ / "list.sw")));
  }
  // A key of another kind than RSA is refused when loaded.
  ASSERT_EQ(
      testing::Run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 2>/dev/null"
                   " | openssl pkey -pubout -out '" +
                   (dir_ / "ec.pem").string() + "'"),
      0);
  EXPECT_FALSE(SignatureVerifier(ReadFileBytes(dir_ / "ec.pem")).HasKey());
}

}  // namespace
}  // namespace launcher
