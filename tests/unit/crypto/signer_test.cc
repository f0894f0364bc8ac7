#include "crypto/signer.h"

#include <gtest/gtest.h>

#include "crypto/signature_verifier.h"
#include "files/text_file.h"
#include "signing_fixture.h"

namespace launcher {
namespace {

using namespace launcher::testing;

TEST(TextModeTest, TranslatesLikeTextModeReading) {
  EXPECT_EQ(TextModeContent("a\r\nb\r\n"), "a\nb\n");
  EXPECT_EQ(TextModeContent("a\rb"), "a\rb");
  EXPECT_EQ(TextModeContent("a\r\r\nb"), "a\r\nb");
  EXPECT_EQ(TextModeContent("end\r"), "end\r");
  EXPECT_EQ(TextModeContent("ab\x1a\r\ncd"), "ab");
  EXPECT_EQ(TextModeContent("ab\r\x1a"), "ab\r");
  EXPECT_EQ(TextModeContent(std::string_view("a\0b", 3)), std::string("a\0b", 3));
}

TEST(TextModeTest, ChunkBoundariesDoNotMatter) {
  const std::string raw = "one\r\ntwo\rthree\r\r\n\r\nfour\r";
  const std::string whole = TextModeContent(raw);
  for (std::size_t cut = 0; cut <= raw.size(); ++cut) {
    TextModeTranslator translator;
    std::string out;
    translator.Feed(std::string_view(raw).substr(0, cut), out);
    translator.Feed(std::string_view(raw).substr(cut), out);
    translator.Finish(out);
    EXPECT_EQ(out, whole) << cut;
  }
}

TEST(TextModeTest, ListReaderSeesTheTextTheSignatureCovers) {
  // The list reader (TextModeReader) and the signer/verifier translate on
  // their own; a difference would let a verified list read differently.
  TempDir dir;
  const std::string inputs[] = {"a\r\nb\r\n",   "a\rb\n",   "a\r\r\nb", "end\r",
                                "ab\x1a\r\ncd", "ab\r\x1a", "\r\n\r\n", "plain\n"};
  for (const std::string& raw : inputs) {
    WriteFileBytes(dir / "list.sw", raw);
    TextModeReader reader(U16(dir / "list.sw"));
    ASSERT_TRUE(reader.is_open());
    std::string read;
    for (int c = reader.Get(); c != EOF; c = reader.Get()) read.push_back(static_cast<char>(c));
    EXPECT_EQ(read, TextModeContent(raw));
  }
}

TEST(SignerTest, SignatureIsBase64In64ColumnLinesThatOpensslAccepts) {
  TempDir dir;
  const std::string content = "0cc175b9c0f1b6a831c399e269772661 YQ==\n";
  const auto base64 = SignContentBase64(ReadKey("test-private.pem"), content);
  ASSERT_TRUE(base64.has_value());
  // 128 bytes for a 1024-bit key: 172 characters as 64 + 64 + 44.
  EXPECT_EQ(base64->size(), 172u + 3u);
  EXPECT_EQ(base64->find('\n'), 64u);
  EXPECT_EQ(base64->back(), '\n');
  EXPECT_TRUE(OpensslVerifies(dir, content, *base64));
  EXPECT_FALSE(OpensslVerifies(dir, content, *base64, "other-public.pem"));
  EXPECT_FALSE(OpensslVerifies(dir, content + "x", *base64));
}

TEST(SignerTest, SignedFileVerifiesAndKeepsItsLineEnds) {
  TempDir dir;
  const SignatureVerifier verifier(ReadKey("test-public.pem"));
  const std::string crlf = "# list\r\n0cc175b9c0f1b6a831c399e269772661 YQ==\r\n";
  const auto file = MakeSignedFile(ReadKey("test-private.pem"), crlf);
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(file->substr(0, crlf.size()), crlf);
  EXPECT_EQ(file->substr(crlf.size(), kMarkerLine.size()), kMarkerLine);
  WriteFileBytes(dir / "list.sw", *file);
  EXPECT_TRUE(verifier.VerifySignedFile(U16(dir / "list.sw")));
  // The signature covers the text-mode form, as openssl confirms.
  const std::string signature = file->substr(crlf.size() + kMarkerLine.size());
  EXPECT_TRUE(OpensslVerifies(dir, TextModeContent(crlf), signature));

  const auto empty = MakeSignedFile(ReadKey("test-private.pem"), "");
  ASSERT_TRUE(empty.has_value());
  WriteFileBytes(dir / "empty.sw", *empty);
  EXPECT_TRUE(verifier.VerifySignedFile(U16(dir / "empty.sw")));
}

TEST(SignerTest, RefusesWhatNoVerifierCouldAccept) {
  const std::string key = ReadKey("test-private.pem");
  EXPECT_FALSE(MakeSignedFile(key, "no final line break"));
  EXPECT_FALSE(MakeSignedFile(key, std::string("nul\0inside\n", 11)));
  EXPECT_FALSE(MakeSignedFile(key, "ends\x1a early\n"));
  EXPECT_FALSE(MakeSignedFile(key, "a\n-----BEGIN KESTREL SIGNATURE----- trailing\nb\n"));
  EXPECT_TRUE(MakeSignedFile(key, "a\n -----BEGIN KESTREL SIGNATURE-----\n"));
  // Keys that cannot sign.
  EXPECT_FALSE(SignContentBase64("", "x\n"));
  EXPECT_FALSE(SignContentBase64(ReadKey("test-public.pem"), "x\n"));
  EXPECT_FALSE(MakeSignedFile("garbage", "x\n"));
}

}  // namespace
}  // namespace launcher
