// In-process checks of the publisher's pure parts: the distance series, the
// path rules and the list layout read back through the engine's own
// ExpandListPath / DecodeListPath.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "files/utf16.h"
#include "publish/list_format.h"
#include "publish/path_rules.h"
#include "update/list_distance.h"
#include "update/list_path.h"

namespace launcher::publish {
namespace {

TEST(ListDistanceTest, PicksTheSmallestListThatReachesBackFarEnough) {
  const std::vector<std::pair<int, int>> cases = {{1, 1},     {9, 9},    {10, 10}, {11, 12},
                                                  {12, 12},   {13, 15},  {20, 24}, {25, 30},
                                                  {100, 100}, {101, 114}};
  for (auto [behind, expected] : cases) EXPECT_EQ(ListDistance(behind), expected) << behind;
  EXPECT_EQ(ListDistanceSeries(24),
            (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 15, 19, 24}));
  EXPECT_EQ(ListDistanceSeries(20).back(), 24);  // the list a client 20 behind needs
  EXPECT_TRUE(ListDistanceSeries(0).empty());
  EXPECT_TRUE(IsListDistance(37));
  EXPECT_FALSE(IsListDistance(11));
  EXPECT_FALSE(IsListDistance(0));
  // Very large distances do not overflow.
  EXPECT_GE(ListDistance(2147483000), 2147483000);
}

// Reads list content the way the launcher does; returns "op digest path"
// per entry with the decoded path.
std::vector<std::string> ReadBack(const std::string& content) {
  CurrentListDir = "stale/";  // the previous pass's directory must not matter
  std::vector<std::string> entries;
  std::istringstream lines(content);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream tokens(line);
    std::string digest;
    std::string path;
    tokens >> digest >> path;
    DecodedListPath decoded = DecodeListPath(path);
    EXPECT_TRUE(decoded.valid) << line;
    entries.push_back(digest + " " + ToUtf8(decoded.path));
  }
  return entries;
}

TEST(ListFormatTest, GroupsByDirectoryWithDeletesFirstAndReadsBack) {
  const std::string d1(32, 'a');
  const std::string d2(32, 'b');
  std::vector<ListEntry> entries = {
      {"data/sub/x.bin", false, d1}, {"setup.ini", false, d2},
      {"data/main.exe", false, d1},  {"Ab c", true, ""},
      {"data/old.dll", true, ""},    {"data/setup.ini", false, d2},
      {"zz.txt", false, d1},
  };
  std::string problem;
  auto content = FormatList(ListKind::kIncremental, entries, "", problem);
  ASSERT_TRUE(content) << problem;
  EXPECT_EQ(*content,
            "-00000000000000000000000000000000 /QWIgYw==\n"
            "-00000000000000000000000000000000 /ZGF0YQ==/b2xkLmRsbA==\n"
            "+" +
                d2 +
                " /c2V0dXAuaW5p\n"
                "+" +
                d1 +
                " enoudHh0\n"
                "+" +
                d1 +
                " /ZGF0YQ==/bWFpbi5leGU=\n"
                "+" +
                d2 +
                " c2V0dXAuaW5p\n"
                "+" +
                d1 + " /ZGF0YQ==/c3Vi/eC5iaW4=\n");
  EXPECT_EQ(ReadBack(*content), (std::vector<std::string>{
                                    "-00000000000000000000000000000000 ./Ab c",
                                    "-00000000000000000000000000000000 ./data/old.dll",
                                    "+" + d2 + " ./setup.ini",
                                    "+" + d1 + " ./zz.txt",
                                    "+" + d1 + " ./data/main.exe",
                                    "+" + d2 + " ./data/setup.ini",
                                    "+" + d1 + " ./data/sub/x.bin",
                                }));
}

TEST(ListFormatTest, FullListHasBareDigestsAndOptionalComment) {
  std::string problem;
  auto content = FormatList(ListKind::kFull, {{"data/main.exe", false, std::string(32, 'c')}},
                            "release 5", problem);
  ASSERT_TRUE(content) << problem;
  EXPECT_EQ(*content, "# release 5\n" + std::string(32, 'c') + " /ZGF0YQ==/bWFpbi5leGU=\n");
  EXPECT_FALSE(FormatList(ListKind::kFull, {}, "two\nlines", problem));
  EXPECT_FALSE(FormatList(ListKind::kFull, {}, std::string(400, 'x'), problem));
}

TEST(PathRulesTest, ServedPathIsTheEncodedPathWithoutDotSlash) {
  EXPECT_EQ(EncodeListPath("data/main.exe"), "./ZGF0YQ==/bWFpbi5leGU=");
  EXPECT_EQ(ServedRelativePath("data/main.exe"), "ZGF0YQ==/bWFpbi5leGU=");
  EXPECT_EQ(ServedRelativePath("Ab c"), "QWIgYw==");
  std::string token = "/QWIgYw==";
  CurrentListDir.clear();
  EXPECT_EQ(DecodeListPath(token).path, u"./Ab c");
}

TEST(PathRulesTest, RefusesWhatTheLauncherCannotTakeSafely) {
  EXPECT_FALSE(CheckRelativePath("data/main.exe"));
  EXPECT_FALSE(CheckRelativePath("größe/数据 1.bin"));
  const std::vector<std::string> bad = {
      "data/a\tb",            // control character
      "data/a\\b",            // backslash
      "data/\xc3(",           // not UTF-8
      "data/\xed\xa0\x80",    // encoded surrogate
      std::string(192, 'n'),  // encoded name over 255 bytes
      "a/../b",               // parent reference
  };
  for (const std::string& path : bad) EXPECT_TRUE(CheckRelativePath(path)) << path;
  // Longest path: the encoded form may have 351 bytes.
  std::string deep;
  while (EncodeListPath(deep + "abcdefghi/x").size() <= kMaxExpandedTokenBytes)
    deep += "abcdefghi/";
  EXPECT_FALSE(CheckRelativePath(deep + "x"));
  EXPECT_TRUE(CheckRelativePath(deep + "abcdefghi/x"));
}

TEST(PathRulesTest, CaseFoldingMatchesNamesDifferingOnlyInCase) {
  EXPECT_EQ(CaseFoldKey("Data/Main.EXE"), CaseFoldKey("data/main.exe"));
  EXPECT_EQ(CaseFoldKey("GRÖSSE/Ä"), CaseFoldKey("grÖsse/ä"));
  EXPECT_NE(CaseFoldKey("data/a"), CaseFoldKey("data/b"));
}

}  // namespace
}  // namespace launcher::publish
