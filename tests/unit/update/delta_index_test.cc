#include <gtest/gtest.h>

#include <string>

#include "crypto/signature_verifier.h"
#include "update/delta_index.h"

namespace launcher {
namespace {

DeltaPatch Sample() {
  return {.path = "./ZGF0YQ==/YS5iaW4=",
          .baseDigest = std::string(32, 'a'),
          .baseSha256 = std::string(64, 'e'),
          .resultDigest = std::string(32, 'b'),
          .resultSize = 3000100,
          .resultSha256 = std::string(64, 'c'),
          .patchSize = 316,
          .patchMd5 = std::string(32, 'd'),
          .place = "delta/aaaa-bbbb.zst"};
}

// Replaces field `n` (0-based) of the one patch line of `content`.
std::string WithField(std::string content, int n, const std::string& value) {
  std::size_t at = content.find("./");
  for (int i = 0; i < n; ++i) at = content.find(' ', at) + 1;
  const std::size_t end = content.find_first_of(" \n", at);
  return content.replace(at, end - at, value);
}

TEST(DeltaIndexTest, ReadsWhatItWritesAndRefusesEveryMalformedLineWhole) {
  DeltaIndex index{.version = 7, .patches = {Sample(), Sample()}};
  index.patches[1].path = "./c2V0dXAuaW5p";
  index.patches[1].resultSize = 0;
  const std::string content = FormatDeltaIndex(index, "built for a test");
  std::string problem;
  std::optional<DeltaIndex> read = ParseDeltaIndex(content, problem);
  ASSERT_TRUE(read) << problem;
  EXPECT_EQ(read->version, 7);
  ASSERT_EQ(read->patches.size(), 2u);
  EXPECT_EQ(read->patches[0].place, "delta/aaaa-bbbb.zst");
  EXPECT_EQ(read->patches[1].resultSize, 0u);
  DeltaLookup lookup(*read);
  EXPECT_EQ(lookup.ForResult("./c2V0dXAuaW5p", std::string(32, 'b')).size(), 1u);
  EXPECT_TRUE(lookup.ForResult("./c2V0dXAuaW5p", std::string(32, 'a')).empty());

  const std::string one = FormatDeltaIndex({.version = 1, .patches = {Sample()}});
  ASSERT_TRUE(ParseDeltaIndex(one, problem));
  const std::string bad[] = {
      "delta-index 2\nversion 1\n",
      one.substr(0, one.size() - 1),  // no final line end
      one + "\n",                     // blank line
      std::string(one).replace(one.find("version 1"), 9, "version 01"),
      std::string(one).insert(one.find("./"), " "),  // leading space
      WithField(one, 0, "ZGF0YQ==/YS5iaW4="),        // not expanded
      WithField(one, 0, "./../x"),
      WithField(one, 1, std::string(32, 'A')),  // upper case
      WithField(one, 2, std::string(63, 'e')),
      WithField(one, 3, std::string(32, 'a')),  // result = base
      WithField(one, 4, "-1"),
      WithField(one, 5, std::string(63, 'c')),
      WithField(one, 6, "0"),
      WithField(one, 8, "../patcher/files.md5"),
      WithField(one, 8, "/etc/passwd"),
      WithField(one, 8, "delta//x.zst"),
      WithField(one, 8, "delta/./x.zst"),
      WithField(one, 8, "delta/x y.zst"),
      WithField(one, 8, "delta/a.zst extra"),
  };
  for (const std::string& text : bad) {
    EXPECT_FALSE(ParseDeltaIndex(text, problem)) << text;
  }
}

TEST(DeltaIndexTest, SignedContentIsWhatTheVerifierDigests) {
  const std::string marker(kSignatureMarker);
  EXPECT_EQ(SignedContent("a\r\nb\n" + marker + "\nsig\n"), "a\nb\n");
  EXPECT_EQ(SignedContent("a\n" + marker + " trailing\nsig\n"), "a\n");
  EXPECT_FALSE(SignedContent("a\nb\n"));  // no marker
  // Bytes the verifier would not digest, or would take for the marker.
  EXPECT_FALSE(SignedContent(std::string("a\0b\n", 4) + marker + "\n"));
  EXPECT_FALSE(SignedContent("x " + marker + "\n" + marker + "\n"));
}

}  // namespace
}  // namespace launcher
