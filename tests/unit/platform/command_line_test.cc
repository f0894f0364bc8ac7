#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace launcher {
namespace {

std::vector<std::u16string> Split(std::u16string_view line) {
  CommandLineArgs args = SplitCommandLine(line);
  std::vector<std::u16string> out(args.args.begin(), args.args.begin() + args.count);
  // Places past the count stay empty.
  for (std::size_t k = static_cast<std::size_t>(args.count); k < args.args.size(); ++k) {
    EXPECT_TRUE(args.args[k].empty());
  }
  return out;
}

using Args = std::vector<std::u16string>;

TEST(SplitCommandLineTest, SpacesSeparateAndQuotesGroup) {
  EXPECT_EQ(Split(u"launcher.exe FullCheck"), (Args{u"launcher.exe", u"FullCheck"}));
  EXPECT_EQ(Split(u"\"C:\\Quill mere\\launcher.exe\" /update"),
            (Args{u"C:\\Quill mere\\launcher.exe", u"/update"}));
  EXPECT_EQ(Split(u"   a    b   "), (Args{u"a", u"b"}));
  // A quoted part followed directly by letters: the letters start a new argument.
  EXPECT_EQ(Split(u"\"a b\"c"), (Args{u"a b", u"c"}));
  // Quotes inside or at the end of an unquoted token stay.
  EXPECT_EQ(Split(u"a\"b c\""), (Args{u"a\"b", u"c\""}));
  // A missing closing quote runs to the end of the line.
  EXPECT_EQ(Split(u"x \"open ended"), (Args{u"x", u"open ended"}));
}

TEST(SplitCommandLineTest, OnlyThePlainSpaceSeparates) {
  EXPECT_EQ(Split(u"a\tb\u00A0c d"), (Args{u"a\tb\u00A0c", u"d"}));
}

TEST(SplitCommandLineTest, EmptyQuotesTakeAPlaceAndBlankLinesGiveNone) {
  EXPECT_EQ(Split(u"p \"\" FullCheck"), (Args{u"p", u"", u"FullCheck"}));
  EXPECT_EQ(Split(u"p \"\""), (Args{u"p", u""}));
  EXPECT_EQ(Split(u"\"\""), (Args{u""}));
  EXPECT_TRUE(Split(u"").empty());
  EXPECT_TRUE(Split(u"     ").empty());
}

TEST(SplitCommandLineTest, KeepsTheFirstTenArgumentsOnly) {
  EXPECT_EQ(Split(u"0 1 2 3 4 5 6 7 8 9 10 11 \"12"),
            (Args{u"0", u"1", u"2", u"3", u"4", u"5", u"6", u"7", u"8", u"9"}));
}

Switches SwitchesOf(std::u16string_view line) { return ParseSwitches(SplitCommandLine(line)); }

TEST(ParseSwitchesTest, RecognisesExactSwitchesAfterTheProgramPath) {
  Switches both = SwitchesOf(u"launcher /update x FullCheck /update");
  EXPECT_EQ(both.fullCheck, 1);
  EXPECT_EQ(both.updateMode, 1);
  EXPECT_EQ(SwitchesOf(u"launcher \"FullCheck\"").fullCheck, 1);

  // The program path is never a switch, even with the switch's name.
  Switches path = SwitchesOf(u"FullCheck");
  EXPECT_EQ(path.fullCheck, 0);
  EXPECT_EQ(SwitchesOf(u"/update \"\"").updateMode, 0);
}

TEST(ParseSwitchesTest, VariantsAreNotSwitches) {
  for (const char16_t* line :
       {u"l fullcheck", u"l -FullCheck", u"l /FullCheck", u"l FullCheck=1", u"l /Update",
        u"l update", u"l \"/update \"", u"l FullCheck\"", u"l\tFullCheck"}) {
    Switches s = SwitchesOf(line);
    EXPECT_EQ(s.fullCheck, 0) << std::string(line, line + std::char_traits<char16_t>::length(line));
    EXPECT_EQ(s.updateMode, 0);
  }
}

TEST(ParseSwitchesTest, ASwitchPastTheTenthArgumentIsIgnored) {
  EXPECT_EQ(SwitchesOf(u"l 1 2 3 4 5 6 7 8 FullCheck").fullCheck, 1);
  EXPECT_EQ(SwitchesOf(u"l 1 2 3 4 5 6 7 8 9 FullCheck").fullCheck, 0);
}

TEST(ArgsFromArgvTest, ConvertsUtf8AndKeepsAtMostTenEntries) {
  const char* argv[] = {"/opt/game/launcher",
                        "FullCheck",
                        "gr\xC3\xB6\xC3\x9F"
                        "e",
                        "bad\xFF",
                        "4",
                        "5",
                        "6",
                        "7",
                        "8",
                        "9",
                        "10",
                        "11"};
  CommandLineArgs args = ArgsFromArgv(12, argv);
  EXPECT_EQ(args.count, 10);
  EXPECT_EQ(args.args[0], u"/opt/game/launcher");
  EXPECT_EQ(args.args[2], u"gr\u00F6\u00DFe");
  EXPECT_EQ(args.args[3], u"bad\u00FF");  // invalid UTF-8 is widened byte by byte
  EXPECT_EQ(args.args[9], u"9");
  EXPECT_EQ(ParseSwitches(args).fullCheck, 1);
}

}  // namespace
}  // namespace launcher
