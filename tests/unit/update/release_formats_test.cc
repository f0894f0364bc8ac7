// The release statement and the release manifest as bytes: what the writer
// makes, what the reader takes and refuses, and which signatures count.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/ed25519.h"
#include "crypto/release_keys.h"
#include "update/release_manifest.h"
#include "update/release_statement.h"
#include "update/utc_time.h"

namespace launcher {
namespace {

const std::string kSha(64, 'a');

struct Key {
  Ed25519KeyPair pair = *GenerateEd25519KeyPair();
  std::string id = Ed25519PublicKey::FromPem(pair.publicPem)->key_id();
  std::string Line(const std::string& body) const {
    return FormatSignatureLine(id, *Ed25519Sign(pair.privatePem, body));
  }
};

std::string Body() {
  ReleaseStatement s{17, 42, 1700000000, 1700000000 + 7 * 86400, {}};
  s.files = {{"patcher/v-1.inc", 300, kSha},
             {"patcher/files.md5", 1200, kSha},
             {"patcher/manifest", 5000, kSha}};
  return FormatStatementBody(s);
}

TEST(ReleaseFormatsTest, StatementReadsBackAndOnlyTrustedSignaturesCount) {
  const std::string body = Body();
  EXPECT_EQ(body,
            "release-statement 1\nproduct 17\nversion 42\nsigned 2023-11-14T22:13:20Z\n"
            "expires 2023-11-21T22:13:20Z\nfile 1200 " +
                kSha +
                " patcher/files.md5\n"
                "file 5000 " +
                kSha + " patcher/manifest\nfile 300 " + kSha + " patcher/v-1.inc\nend\n");
  const Key current, next;
  SignedStatement read;
  std::string problem;
  ASSERT_TRUE(ParseReleaseStatement(body + current.Line(body), read, problem)) << problem;
  EXPECT_EQ(read.signedPart, body);
  EXPECT_EQ(read.statement.version, 42);
  ASSERT_NE(read.statement.Find("patcher/v-1.inc"), nullptr);
  EXPECT_EQ(read.statement.Find("patcher/v-1.inc")->size, 300);
  EXPECT_EQ(CheckStatementSignatures(read, ReleaseKeys({next.pair.publicPem})),
            SignatureCheck::kNoTrustedSignature);
  // A trusted key's signature that fails is not saved by another that holds.
  const std::string forged =
      body + FormatSignatureLine(current.id, std::string(64, 'x')) + next.Line(body);
  ASSERT_TRUE(ParseReleaseStatement(forged, read, problem)) << problem;
  EXPECT_EQ(CheckStatementSignatures(read, ReleaseKeys({next.pair.publicPem})),
            SignatureCheck::kValid);
  EXPECT_EQ(
      CheckStatementSignatures(read, ReleaseKeys({current.pair.publicPem, next.pair.publicPem})),
      SignatureCheck::kBadSignature);
}

TEST(ReleaseFormatsTest, AnythingButTheDocumentedFormIsRefused) {
  const std::string body = Body();
  const std::string sig = Key().Line(body);
  const std::string good = body + sig;
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    return text.replace(text.find(from), from.size(), to);
  };
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"CR LF line ends", replaced("product 17\n", "product 17\r\n")},
      {"no end line", replaced("end\n", "")},
      {"leading zero", replaced("version 42", "version 042")},
      {"version 0", replaced("version 42", "version 0")},
      {"a date that does not exist", replaced("2023-11-14", "2023-02-29")},
      {"expires before signed", replaced("expires 2023-11-21", "expires 2023-11-13")},
      {"file lines out of order", replaced("patcher/v-1.inc", "patcher/a.inc")},
      {"no full list", replaced("patcher/files.md5", "patcher/files.mdx")},
      {"upper-case digest", replaced(kSha, std::string(64, 'A'))},
      {"no signature", body},
      {"two signatures by one key", good + sig},
      {"text after the signatures", good + "x\n"},
      {"no final line end", good.substr(0, good.size() - 1)},
      {"past the size limit", good + std::string(70000, '#')},
  };
  for (const auto& [what, text] : bad) {
    SignedStatement read;
    std::string problem;
    EXPECT_FALSE(ParseReleaseStatement(text, read, problem)) << what;
  }
  // A line of a keyword this reader does not know is an extension: passed over.
  SignedStatement read;
  std::string problem;
  EXPECT_TRUE(ParseReleaseStatement(replaced("end\n", "delta-index 3 x\nend\n"), read, problem))
      << problem;

  std::int64_t t = -1;
  ASSERT_TRUE(ParseUtcTime("2000-02-29T23:59:59Z", t));
  EXPECT_EQ(t, 951868799);
  EXPECT_EQ(FormatUtcTime(4102444800), "2100-01-01T00:00:00Z");
  for (const char* time :
       {"2100-02-29T00:00:00Z", "2024-01-01T24:00:00Z", "1969-12-31T23:59:59Z"}) {
    EXPECT_FALSE(ParseUtcTime(time, t)) << time;
  }
}

TEST(ReleaseFormatsTest, ManifestFindsEveryPathAndRefusesDisorder) {
  const std::map<std::string, ManifestEntry> entries = {
      {"data/a b.bin", {10, kSha, 20, std::string(64, 'b')}},
      {"data/c.bin", {0, kSha, 0, kSha}},
      {"main.exe", {1, kSha, 2, kSha}}};
  ReleaseManifest manifest;
  std::string problem;
  ASSERT_TRUE(manifest.Parse(ReleaseManifest::Format(entries), problem)) << problem;
  ManifestEntry entry;
  ASSERT_TRUE(manifest.Find(std::u16string_view(u"./data/a b.bin"), entry));
  EXPECT_EQ(entry.installedSize, 20);
  EXPECT_EQ(entry.installedSha256, std::string(64, 'b'));
  EXPECT_TRUE(manifest.Find(std::string_view("main.exe"), entry));
  EXPECT_FALSE(manifest.Find(std::string_view("data"), entry));

  const std::string line = "1 " + kSha + " 2 " + kSha + " ";
  for (const std::string& text :
       {std::string("release-manifest 2\n"), "release-manifest 1\n" + line + "b\n" + line + "a\n",
        "release-manifest 1\n" + line + "a\n" + line + "a\n",
        "release-manifest 1\n" + line + "../a\n", "release-manifest 1\n" + line + "a"}) {
    EXPECT_FALSE(manifest.Parse(text, problem)) << text;
    EXPECT_EQ(manifest.size(), 0u);
  }
}

}  // namespace
}  // namespace launcher
