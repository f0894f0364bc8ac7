// The release statement and the release manifest as bytes: what the writer
// makes, what the reader takes, what it refuses, and which signatures count.
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

ReleaseStatement Statement() {
  ReleaseStatement s;
  s.product = 17;
  s.version = 42;
  s.signedAt = 1700000000;
  s.expiresAt = 1700000000 + 7 * 86400;
  s.files = {{"patcher/v-1.inc", 300, kSha},
             {"patcher/files.md5", 1200, kSha},
             {"patcher/manifest", 5000, kSha}};
  return s;
}

struct Key {
  Ed25519KeyPair pair;
  std::string id;
};

Key MakeKey() {
  Key key{*GenerateEd25519KeyPair(), {}};
  key.id = Ed25519PublicKey::FromPem(key.pair.publicPem)->key_id();
  return key;
}

std::string Signed(const std::string& body, const std::vector<const Key*>& keys) {
  std::string text = body;
  for (const Key* key : keys)
    text += FormatSignatureLine(key->id, *Ed25519Sign(key->pair.privatePem, body));
  return text;
}

SignatureCheck Check(const std::string& text, const std::vector<const Key*>& trusted) {
  std::vector<std::string_view> pems;
  for (const Key* key : trusted) pems.push_back(key->pair.publicPem);
  SignedStatement read;
  std::string problem;
  if (!ParseReleaseStatement(text, read, problem)) {
    ADD_FAILURE() << problem;
    return SignatureCheck::kBadSignature;
  }
  return CheckStatementSignatures(read, ReleaseKeys(pems));
}

TEST(ReleaseFormatsTest, StatementReadsBackExactlyAsWritten) {
  const std::string body = FormatStatementBody(Statement());
  EXPECT_EQ(body,
            "release-statement 1\nproduct 17\nversion 42\nsigned 2023-11-14T22:13:20Z\n"
            "expires 2023-11-21T22:13:20Z\nfile 1200 " +
                kSha +
                " patcher/files.md5\n"
                "file 5000 " +
                kSha + " patcher/manifest\nfile 300 " + kSha + " patcher/v-1.inc\nend\n");
  const Key key = MakeKey();
  SignedStatement read;
  std::string problem;
  ASSERT_TRUE(ParseReleaseStatement(Signed(body, {&key}), read, problem)) << problem;
  EXPECT_EQ(read.signedPart, body);
  EXPECT_EQ(read.statement.product, 17);
  EXPECT_EQ(read.statement.version, 42);
  EXPECT_EQ(read.statement.expiresAt - read.statement.signedAt, 7 * 86400);
  ASSERT_NE(read.statement.Find("patcher/v-1.inc"), nullptr);
  EXPECT_EQ(read.statement.Find("patcher/v-1.inc")->size, 300);
  EXPECT_EQ(read.statement.Find("patcher/v-2.inc"), nullptr);
}

TEST(ReleaseFormatsTest, SignaturesOfTrustedKeysDecideAndRotationWorks) {
  const Key current = MakeKey(), next = MakeKey(), stranger = MakeKey();
  const std::string body = FormatStatementBody(Statement());
  EXPECT_EQ(Check(Signed(body, {&current}), {&current}), SignatureCheck::kValid);
  // Signed by both while rotating: launchers with either key take it.
  EXPECT_EQ(Check(Signed(body, {&current, &next}), {&current}), SignatureCheck::kValid);
  EXPECT_EQ(Check(Signed(body, {&current, &next}), {&next}), SignatureCheck::kValid);
  EXPECT_EQ(Check(Signed(body, {&next}), {&current, &next}), SignatureCheck::kValid);
  EXPECT_EQ(Check(Signed(body, {&stranger}), {&current, &next}),
            SignatureCheck::kNoTrustedSignature);
  // A changed byte, and a trusted signature that fails beside one that holds.
  std::string changed = Signed(body, {&current});
  changed[changed.find("version 42") + 9] = '3';
  EXPECT_EQ(Check(changed, {&current}), SignatureCheck::kBadSignature);
  const std::string forged = body + FormatSignatureLine(current.id, std::string(64, 'x')) +
                             FormatSignatureLine(next.id, *Ed25519Sign(next.pair.privatePem, body));
  EXPECT_EQ(Check(forged, {&current, &next}), SignatureCheck::kBadSignature);
}

TEST(ReleaseFormatsTest, AnythingButTheDocumentedFormIsRefused) {
  const Key key = MakeKey();
  const std::string body = FormatStatementBody(Statement());
  const std::string good = Signed(body, {&key});
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const std::string sig = good.substr(body.size());
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
      {"a path leaving the tree", replaced("patcher/v-1.inc", "patcher/../v-1.inc")},
      {"no signature", body},
      {"three signatures", good + sig + sig},
      {"two signatures by one key", good + sig},
      {"text after the signatures", good + "x\n"},
      {"no final line end", good.substr(0, good.size() - 1)},
      {"past the size limit", good + std::string(70000, '#')},
  };
  for (const auto& [what, text] : bad) {
    SignedStatement read;
    std::string problem;
    EXPECT_FALSE(ParseReleaseStatement(text, read, problem)) << what;
    EXPECT_FALSE(problem.empty()) << what;
  }
  // A line of a keyword this reader does not know is an extension: passed over.
  SignedStatement read;
  std::string problem;
  const std::string extended = replaced("end\n", "delta-index 3 something\nend\n");
  EXPECT_TRUE(ParseReleaseStatement(extended, read, problem)) << problem;
}

TEST(ReleaseFormatsTest, UtcTimesConvertBothWays) {
  std::int64_t t = -1;
  ASSERT_TRUE(ParseUtcTime("1970-01-01T00:00:00Z", t));
  EXPECT_EQ(t, 0);
  ASSERT_TRUE(ParseUtcTime("2000-02-29T23:59:59Z", t));
  EXPECT_EQ(t, 951868799);
  EXPECT_EQ(FormatUtcTime(951868799), "2000-02-29T23:59:59Z");
  EXPECT_EQ(FormatUtcTime(4102444800), "2100-01-01T00:00:00Z");
  for (const char* bad : {"2100-02-29T00:00:00Z", "2024-13-01T00:00:00Z", "2024-01-01 00:00:00Z",
                          "2024-01-01T24:00:00Z", "2024-01-01T00:00:00", "1969-12-31T23:59:59Z"}) {
    EXPECT_FALSE(ParseUtcTime(bad, t)) << bad;
  }
}

TEST(ReleaseFormatsTest, ManifestFindsEveryPathAndRefusesDisorder) {
  std::map<std::string, ManifestEntry> entries;
  entries["data/a b.bin"] = {10, kSha, 20, std::string(64, 'b')};
  entries["main.exe"] = {1, kSha, 2, kSha};
  entries["data/c.bin"] = {0, kSha, 0, kSha};
  const std::string text = ReleaseManifest::Format(entries);
  EXPECT_EQ(text.substr(0, text.find('\n', 19) + 1),
            "release-manifest 1\n10 " + kSha + " 20 " + std::string(64, 'b') + " data/a b.bin\n");
  ReleaseManifest manifest;
  std::string problem;
  ASSERT_TRUE(manifest.Parse(text, problem)) << problem;
  EXPECT_EQ(manifest.size(), 3u);
  ManifestEntry entry;
  ASSERT_TRUE(manifest.Find(std::u16string_view(u"./data/a b.bin"), entry));
  EXPECT_EQ(entry.installedSize, 20);
  EXPECT_EQ(entry.installedSha256, std::string(64, 'b'));
  EXPECT_TRUE(manifest.Find(std::string_view("main.exe"), entry));
  EXPECT_FALSE(manifest.Find(std::string_view("data"), entry));
  EXPECT_FALSE(manifest.Find(std::string_view("zzz"), entry));

  const std::string line2 = "1 " + kSha + " 2 " + kSha + " ";
  for (const std::string& bad :
       {std::string("release-manifest 2\n"), "release-manifest 1\n" + line2 + "b\n" + line2 + "a\n",
        "release-manifest 1\n" + line2 + "a\n" + line2 + "a\n",
        "release-manifest 1\n" + line2 + "../a\n", "release-manifest 1\n" + line2 + "a",
        "release-manifest 1\n-1 " + kSha + " 2 " + kSha + " a\n"}) {
    EXPECT_FALSE(manifest.Parse(bad, problem)) << bad;
    EXPECT_EQ(manifest.size(), 0u);
  }
}

}  // namespace
}  // namespace launcher
