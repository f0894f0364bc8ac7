#include "files/utf16_text.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/utf16_files.h"

namespace launcher {
namespace {

using namespace launcher::testing;

std::vector<std::u16string> ReadAllPieces(const std::filesystem::path& path) {
  Utf16LineReader reader(path.u16string());
  std::vector<std::u16string> pieces;
  std::u16string line;
  while (reader.ReadLine(line)) pieces.push_back(line);
  return pieces;
}

TEST(Utf16LineReaderTest, HandsOutLinesInPiecesOfAtMost399Units) {
  TempDir dir;
  std::u16string longLine(500, u'x');
  std::u16string exact(399, u'y');
  WriteUtf16File(dir / "a.txt",
                 u"ab\r\n" + longLine + u"\n" + exact + u"\n\u00E9\U0001F600\r\r\ntail");
  std::vector<std::u16string> pieces = ReadAllPieces(dir / "a.txt");
  ASSERT_EQ(pieces.size(), 7u);
  EXPECT_EQ(pieces[0], u"ab\r\n");
  EXPECT_EQ(pieces[1], std::u16string(399, u'x'));
  EXPECT_EQ(pieces[2], std::u16string(101, u'x') + u"\n");
  EXPECT_EQ(pieces[3], exact);  // full piece: the LF comes as a piece of its own
  EXPECT_EQ(pieces[4], u"\n");
  EXPECT_EQ(pieces[5], u"\u00E9\U0001F600\r\r\n");  // raw units, no translation
  EXPECT_EQ(pieces[6], u"tail");
}

TEST(Utf16LineReaderTest, SkipsTheFirstUnitWhateverItIs) {
  TempDir dir;
  WriteUtf16File(dir / "nobom.txt", u"42 text\n", /*withBom=*/false);
  EXPECT_EQ(ReadAllPieces(dir / "nobom.txt"), std::vector<std::u16string>{u"2 text\n"});
  WriteUtf16File(dir / "bom-only.txt", u"");
  EXPECT_TRUE(ReadAllPieces(dir / "bom-only.txt").empty());
}

TEST(Utf16LineReaderTest, IgnoresAnOddTrailingByteAndMissingFiles) {
  TempDir dir;
  WriteFileBytes(dir / "odd.txt", "\xFF\xFE" + Utf16LeBytes(u"ab") + "c");
  EXPECT_EQ(ReadAllPieces(dir / "odd.txt"), std::vector<std::u16string>{u"ab"});

  Utf16LineReader missing((dir / "missing.txt").u16string());
  EXPECT_FALSE(missing.is_open());
  std::u16string line = u"stale";
  EXPECT_FALSE(missing.ReadLine(line));
  EXPECT_TRUE(line.empty());
}

TEST(TrimLineEndTest, RemovesTrailingBreaksButNeverTheFirstUnit) {
  std::u16string a = u"abc\r\r\n\n\r";
  TrimLineEnd(a);
  EXPECT_EQ(a, u"abc");
  std::u16string b = u"\r\n";
  TrimLineEnd(b);
  EXPECT_EQ(b, u"\r");
  std::u16string c = u"a\rb\n";
  TrimLineEnd(c);
  EXPECT_EQ(c, u"a\rb");
  std::u16string empty;
  TrimLineEnd(empty);
  EXPECT_TRUE(empty.empty());
}

TEST(Utf16WriterTest, CreatesWithByteOrderMarkAndAppendsLittleEndianUnits) {
  TempDir dir;
  std::u16string path = (dir / "log.txt").u16string();
  WriteFileBytes(dir / "log.txt", "old content");
  ASSERT_TRUE(CreateUtf16File(path));
  EXPECT_EQ(ReadFileBytes(dir / "log.txt"), "\xFF\xFE");
  ASSERT_TRUE(AppendUtf16(path, u"A\u00E9\u4E2D\U0001F600\r\n"));
  EXPECT_EQ(ReadFileBytes(dir / "log.txt"), std::string("\xFF\xFE"
                                                        "A\0\xE9\0\x2D\x4E\x3D\xD8\x00\xDE\r\0\n\0",
                                                        16));
  // An existing file is never truncated by the create-if-missing form.
  ASSERT_TRUE(CreateUtf16FileIfMissing(path));
  EXPECT_EQ(ReadUtf16Units(dir / "log.txt"), u"\uFEFFA\u00E9\u4E2D\U0001F600\r\n");
  std::u16string fresh = (dir / "fresh.txt").u16string();
  ASSERT_TRUE(CreateUtf16FileIfMissing(fresh));
  EXPECT_EQ(ReadFileBytes(dir / "fresh.txt"), "\xFF\xFE");
}

TEST(Utf16WriterTest, ReportsFilesThatCannotBeWritten) {
  TempDir dir;
  EXPECT_FALSE(CreateUtf16File((dir / "no/such/dir.txt").u16string()));
  EXPECT_FALSE(CreateUtf16FileIfMissing((dir / "no/such/dir.txt").u16string()));
  EXPECT_FALSE(AppendUtf16((dir / "no/such/dir.txt").u16string(), u"x"));
  EXPECT_FALSE(AppendUtf16(dir.path().u16string(), u"x"));  // a directory
  EXPECT_FALSE(std::filesystem::exists(dir / "no"));
}

}  // namespace
}  // namespace launcher
