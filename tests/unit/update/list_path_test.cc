#include "update/list_path.h"

#include <gtest/gtest.h>

#include "support/engine_state.h"

namespace launcher {
namespace {

class ListPathTest : public ::testing::Test {
 protected:
  testing::ScopedEngineState state_;
};

TEST_F(ListPathTest, DirectoryEntryExpandsAndSetsCurrentDir) {
  std::string token = "/ZGF0YQ==/bWFpbi5leGU=";
  DecodedListPath decoded = DecodeListPath(token);
  EXPECT_EQ(token, "./ZGF0YQ==/bWFpbi5leGU=");
  EXPECT_EQ(CurrentListDir, "./ZGF0YQ==/");
  EXPECT_EQ(decoded.path, u"./data/main.exe");
  EXPECT_EQ(decoded.fileName, u"main.exe");

  std::string next = "c2V0dXAuaW5p";
  EXPECT_EQ(DecodeListPath(next).path, u"./data/setup.ini");
  EXPECT_EQ(next, "./ZGF0YQ==/c2V0dXAuaW5p");
}

TEST_F(ListPathTest, EntryBeforeAnyDirectoryNamesFileUnderRoot) {
  std::string token = "bWFpbg==.ZXhl";
  DecodedListPath decoded = DecodeListPath(token);
  EXPECT_EQ(decoded.path, u"main.exe");  // a padded run may stand before a separator
  EXPECT_EQ(decoded.fileName, u"exe");
}

TEST_F(ListPathTest, EncodedSpaceAndNonAsciiSurvive) {
  std::string token = "/QWIgYw==";
  EXPECT_EQ(DecodeListPath(token).path, u"./Ab c");
  std::string encoded = EncodeListPath("数据/größe.txt");
  DecodedListPath decoded = DecodeExpandedListPath(encoded);
  EXPECT_TRUE(decoded.valid);
  EXPECT_EQ(decoded.path, u"./数据/größe.txt");
}

TEST_F(ListPathTest, EncodeMatchesKnownTokens) {
  EXPECT_EQ(EncodeListPath("data/main.exe"), "./ZGF0YQ==/bWFpbi5leGU=");
  EXPECT_EQ(EncodeListName("Ab c"), "QWIgYw==");
  // "/" of standard base64 is written as "-".
  EXPECT_EQ(EncodeListName("\xff\xff\xff"), "----");
}

TEST_F(ListPathTest, InvalidUtf8RunIsFlagged) {
  EXPECT_FALSE(DecodeExpandedListPath("./" + EncodeListName("\xc3")).valid);
}

TEST_F(ListPathTest, SanitizeRefusesEscapesAndNormalisesBackslashes) {
  std::u16string ok = u"./data\\sub\\file.txt";
  EXPECT_TRUE(SanitizeDecodedPath(ok));
  EXPECT_EQ(ok, u"./data/sub/file.txt");
  for (std::u16string bad : std::initializer_list<std::u16string>{
           u"./../etc/passwd", u"/etc/passwd", u"./a//b", u"./a/./b", u"./a/", u"a\\..\\b",
           u"./a\nb", std::u16string(u"./a\0b", 5), u"", u"."}) {
    EXPECT_FALSE(SanitizeDecodedPath(bad)) << std::string(bad.begin(), bad.end());
  }
  std::u16string longPath(kMaxDecodedPathUnits + 1, u'a');
  EXPECT_FALSE(SanitizeDecodedPath(longPath));
}

// Windows shortens a name's final dots and spaces ("..." to ".."), reads
// "a:b" as a stream of "a" and "con.txt" as the console, so there such names
// are refused; elsewhere they are names like any other.
TEST_F(ListPathTest, NamesWindowsCannotHoldAreRefusedOnWindowsOnly) {
  for (std::u16string name : std::initializer_list<std::u16string>{
           u"./.../outside/x", u"./data./a", u"./a /b", u"./a/b.", u"./game.exe:x", u"./a<b",
           u"./a>b", u"./a\"b", u"./a|b", u"./a?", u"./*/b", u"./CON", u"./data/nul.txt",
           u"./Aux.tar.gz", u"./prn/a", u"./com1", u"./LPT9.log", u"./con .txt"}) {
#ifdef _WIN32
    EXPECT_FALSE(SanitizeDecodedPath(name)) << std::string(name.begin(), name.end());
#else
    EXPECT_TRUE(SanitizeDecodedPath(name)) << std::string(name.begin(), name.end());
#endif
  }
  for (std::u16string name : std::initializer_list<std::u16string>{
           u"./.hidden/a.b", u"./console.txt", u"./COM10", u"./lpt", u"./a.con", u"./nul_x"}) {
    EXPECT_TRUE(SanitizeDecodedPath(name)) << std::string(name.begin(), name.end());
  }
}

}  // namespace
}  // namespace launcher
