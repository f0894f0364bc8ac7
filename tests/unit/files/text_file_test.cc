#include "files/text_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace launcher {
namespace {

using namespace launcher::testing;

class TextFileTest : public ::testing::Test {
 protected:
  std::u16string Write(std::string_view name, std::string_view bytes) {
    WriteFileBytes(dir_ / name, bytes);
    return (dir_ / name).u16string();
  }
  std::vector<std::string> Lines(std::string_view bytes, std::size_t maxBytes) {
    TextModeReader reader(Write("lines.txt", bytes));
    std::vector<std::string> lines;
    std::string line;
    while (reader.ReadLine(line, maxBytes)) lines.push_back(line);
    return lines;
  }

  TempDir dir_;
};

TEST_F(TextFileTest, TranslatesCrLfKeepsLoneCrAndStopsAtEndOfTextByte) {
  TextModeReader reader(Write("t.txt", std::string("a\r\nb\rc\r\r\nd\r\x1A"
                                                   "after")));
  std::string read;
  for (int c = reader.Get(); c != EOF; c = reader.Get()) read.push_back(static_cast<char>(c));
  EXPECT_EQ(read, "a\nb\rc\r\nd\r");
  EXPECT_EQ(reader.Get(), EOF);  // stays ended

  reader.Rewind();
  EXPECT_EQ(reader.Get(), 'a');
  EXPECT_EQ(reader.Get(), '\n');
}

TEST_F(TextFileTest, ReadsLinesLikeFgetsWithTheGivenBuffer) {
  std::string longLine(500, 'x');
  std::vector<std::string> lines = Lines("one\r\n" + longLine + "\r\nlast", 400);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "one\n");
  EXPECT_EQ(lines[1], std::string(399, 'x'));
  EXPECT_EQ(lines[2], std::string(101, 'x') + "\n");
  EXPECT_EQ(lines[3], "last");

  // A line that fills the buffer exactly leaves its LF for the next read.
  EXPECT_EQ(Lines("abc\ndef", 4), (std::vector<std::string>{"abc", "\n", "def"}));
  // A buffer too small to hold a character reads nothing (no endless loop).
  EXPECT_TRUE(Lines("abc", 1).empty());
  EXPECT_TRUE(Lines(std::string("\x1A"
                                "abc",
                                4),
                    400)
                  .empty());
}

TEST_F(TextFileTest, HandsTheRestOfTheFileToAnotherReader) {
  TextModeReader reader(Write("signed.txt", "header\r\nREST\r\n"));
  std::string line;
  ASSERT_TRUE(reader.ReadLine(line, 100));
  EXPECT_EQ(line, "header\n");
  char rest[16] = {};
  std::size_t n = std::fread(rest, 1, sizeof rest, reader.file());
  EXPECT_EQ(std::string(rest, n), "REST\r\n");
}

TEST_F(TextFileTest, ReadFirstIntegerFollowsScanfDecimal) {
  struct Case {
    std::string bytes;
    bool ok;
    std::int64_t value;
  };
  const std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  const std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  std::vector<Case> cases = {
      {"12", true, 12},
      {" \t\r\n\v\f 0012\r\n", true, 12},
      {"-42xyz", true, -42},
      {"+7 8", true, 7},
      {"2147483648", true, 2147483648},
      {"99999999999999999999", true, kMax},
      {"-9223372036854775808", true, kMin},
      {"-99999999999999999999", true, kMin},
      {"abc", false, 0},
      {"-", false, 0},
      {"- 5", false, 0},
      {"", false, 0},
      {std::string("\x1A"
                   "12",
                   3),
       false, 0},
      {std::string("1\x1A"
                   "2",
                   3),
       true, 1},
  };
  for (const Case& c : cases) {
    std::int64_t value = -777;
    EXPECT_EQ(ReadFirstInteger(Write("n.sw", c.bytes), value), c.ok) << c.bytes;
    EXPECT_EQ(value, c.ok ? c.value : -777) << c.bytes;

    std::int64_t parsed = -777;
    if (c.bytes.find('\x1A') == std::string::npos) {
      EXPECT_EQ(ParseLeadingInteger(c.bytes, parsed), c.ok) << c.bytes;
      EXPECT_EQ(parsed, c.ok ? c.value : -777) << c.bytes;
    }
  }
  std::int64_t value = 5;
  EXPECT_FALSE(ReadFirstInteger((dir_ / "missing.sw").u16string(), value));
  EXPECT_EQ(value, 5);
}

}  // namespace
}  // namespace launcher
