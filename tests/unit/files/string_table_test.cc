#include "files/string_table.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/utf16_files.h"

namespace launcher {
namespace {

using namespace launcher::testing;

class StringTableTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearStringTable(); }
  void TearDown() override { ClearStringTable(); }

  void Load(std::u16string_view text, bool withBom = true) {
    WriteUtf16File(dir_ / "stringtab.txt", text, withBom);
    EXPECT_TRUE(LoadStringTable((dir_ / "stringtab.txt").u16string()));
  }
  // Slots other than `used` must be empty.
  void ExpectOnlySlots(std::initializer_list<int> used) {
    for (int slot = 0; slot < kMessageSlots; ++slot) {
      if (std::find(used.begin(), used.end(), slot) != used.end()) continue;
      EXPECT_TRUE(g_messages[static_cast<std::size_t>(slot)].empty()) << "slot " << slot;
    }
  }

  TempDir dir_;
};

TEST_F(StringTableTest, ParsesSlotAndTextAfterTheFirstSpace) {
  Load(
      u"3 Connection failed\r\n"
      u"4   spaced \"quoted\" 100% %s\n"
      u"7 \n"
      u"12\n"
      u" 13 leading space\r\n"
      u"\r\n"
      u"+14 plus\n"
      u"6 many breaks\r\r\r\n\n"
      u"199 last slot\n"
      u"46 \u00FCberpr\u00FCfe \u4E2D\n"
      u"9 no final break");
  EXPECT_EQ(g_messages[3], u"Connection failed");
  EXPECT_EQ(g_messages[4], u"  spaced \"quoted\" 100% %s");
  EXPECT_EQ(g_messages[7], u"");
  EXPECT_EQ(g_messages[13], u"13 leading space");
  EXPECT_EQ(g_messages[14], u"plus");
  EXPECT_EQ(g_messages[6], u"many breaks");
  EXPECT_EQ(g_messages[199], u"last slot");
  EXPECT_EQ(g_messages[46], u"\u00FCberpr\u00FCfe \u4E2D");
  EXPECT_EQ(g_messages[9], u"no final break");
  ExpectOnlySlots({3, 4, 6, 7, 9, 13, 14, 46, 199});
}

TEST_F(StringTableTest, LaterLineWinsAndNonNumericLinesSetSlotZero) {
  Load(u"5 first\n5 second\nMSG_MOVE_FAILED move %s to %s\n5\n");
  EXPECT_EQ(g_messages[5], u"second");
  EXPECT_EQ(g_messages[0], u"move %s to %s");
}

TEST_F(StringTableTest, SlotsOutsideTheTableAreSkipped) {
  // 4294967338 wraps to 42 in 32 bits; it must not reach slot 42.
  Load(u"200 too high\n-1 negative\n4294967338 wrapped\n99999999999999999999999 huge\n8 ok\n");
  EXPECT_EQ(g_messages[8], u"ok");
  ExpectOnlySlots({8});
}

TEST_F(StringTableTest, FileWithoutByteOrderMarkLosesItsFirstCharacter) {
  Load(u"42 two digits\n", /*withBom=*/false);
  EXPECT_EQ(g_messages[2], u"two digits");
  ExpectOnlySlots({2});

  ClearStringTable();
  Load(u"5 one digit\n", /*withBom=*/false);
  EXPECT_EQ(g_messages[0], u"one digit");
  ExpectOnlySlots({0});
}

TEST_F(StringTableTest, LongLinesAreParsedAsPiecesOf399Units) {
  // 500 units: the slot gets the rest of the first 399; the next 101 units
  // form a line of their own that names its own slot.
  std::u16string first = u"8 " + std::u16string(397, u'a');
  std::u16string second = u"15 " + std::u16string(97, u'b') + u"\n";
  ASSERT_EQ(first.size() + second.size(), 500u);
  // A remainder without a space is skipped.
  std::u16string third = u"9 " + std::u16string(397, u'c') + std::u16string(50, u'd') + u"\n";
  Load(first + second + third);
  EXPECT_EQ(g_messages[8], std::u16string(397, u'a'));
  EXPECT_EQ(g_messages[15], std::u16string(97, u'b'));
  EXPECT_EQ(g_messages[9], std::u16string(397, u'c'));
  ExpectOnlySlots({8, 9, 15});
}

TEST_F(StringTableTest, MissingFileLeavesTheTableAsItWas) {
  g_messages[20] = u"kept";
  EXPECT_TRUE(LoadStringTable((dir_ / "missing.txt").u16string()));
  EXPECT_EQ(g_messages[20], u"kept");
  ExpectOnlySlots({20});
}

}  // namespace
}  // namespace launcher
