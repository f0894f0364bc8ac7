// The version, list and resume-record formats of the update engine.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "files/paths.h"
#include "files/string_table.h"
#include "seam/cancel.h"
#include "support/engine_state.h"
#include "support/recording_display.h"
#include "support/temp_dir.h"
#include "update/list_entry.h"
#include "update/list_file.h"
#include "update/list_path.h"
#include "update/state_files.h"
#include "update/update_state.h"

namespace launcher {
namespace {

using testing::DisplayCall;
using testing::ReadFileBytes;
using testing::RecordingDisplay;
using testing::ScopedCurrentDir;
using testing::ScopedDisplay;
using testing::TempDir;
using testing::WriteFileBytes;

class FormatsTest : public ::testing::Test {
 protected:
  FormatsTest() : cwd_(testing::MakeInstallLayout(dir_.path())), display_(&recorder_) {}
  std::filesystem::path Config(std::string_view name) const {
    return dir_.path() / "config" / "patcher" / name;
  }
  std::string WriteList(std::string_view name, std::string_view content) {
    WriteFileBytes(Config(name), content);
    return std::string(name);
  }
  std::u16string ListPath(std::string_view name) const {
    return u"../config/patcher/" + std::u16string(name.begin(), name.end());
  }

  testing::ScopedEngineState state_;
  TempDir dir_;
  ScopedCurrentDir cwd_;
  RecordingDisplay recorder_;
  ScopedDisplay display_;
};

// --- Numbers and the resume record -----------------------------------------

TEST_F(FormatsTest, NumberFilesReadTheirFirstInteger) {
  WriteFileBytes(Config("a.sw"), "  \r\n 101 trailing text");
  WriteFileBytes(Config("b.sw"), "<html>404</html>");
  WriteFileBytes(Config("c.sw"), "-7\r\n");
  WriteFileBytes(Config("d.sw"), "99999999999999");
  int value = 55;
  EXPECT_TRUE(ReadNumberFile(u"../config/patcher/a.sw", value));
  EXPECT_EQ(value, 101);
  EXPECT_FALSE(ReadNumberFile(u"../config/patcher/b.sw", value));
  EXPECT_EQ(value, 101) << "a file without a number leaves the value alone";
  EXPECT_EQ(ReadNumberFileOrZero(u"../config/patcher/b.sw"), 0);
  EXPECT_EQ(ReadNumberFileOrZero(u"../config/patcher/missing.sw"), 0);
  EXPECT_EQ(ReadNumberFileOrZero(u"../config/patcher/c.sw"), -7);
  EXPECT_EQ(ReadNumberFileOrZero(u"../config/patcher/d.sw"), 2147483647);
}

TEST_F(FormatsTest, VersionFileHoldsServerVersionAndCrLf) {
  ServerVersion = 101;
  ASSERT_TRUE(WriteVersionFile());
  EXPECT_EQ(ReadFileBytes(Config("version.sw")), "101\r\n");
}

TEST_F(FormatsTest, UpdateStateRoundTripsWithItsExactBytes) {
  UpdateStateRecord record{1234, 17, 65536, 200000};
  EXPECT_EQ(FormatUpdateState(record), "1234 17 65536 200000\r\r\n");
  // Offsets past 4 GiB survive.
  record.bytesDone = 5000000000;
  record.totalBytes = 6000000000;
  ASSERT_TRUE(WriteUpdateState(UpdateStateFilePath, record));
  UpdateStateRecord back;
  ASSERT_TRUE(ReadUpdateState(UpdateStateFilePath, back));
  EXPECT_EQ(back.stateVersion, 1234);
  EXPECT_EQ(back.entriesDone, 17);
  EXPECT_EQ(back.bytesDone, 5000000000);
  EXPECT_EQ(back.totalBytes, 6000000000);
}

TEST_F(FormatsTest, ShortOrOddUpdateStatesGiveZeroForMissingFields) {
  UpdateStateRecord r = ParseUpdateState("7 3\n");
  EXPECT_EQ(r.stateVersion, 7);
  EXPECT_EQ(r.entriesDone, 3);
  EXPECT_EQ(r.bytesDone, 0);
  EXPECT_EQ(r.totalBytes, 0);
  r = ParseUpdateState("7\r\n3 x 9");
  EXPECT_EQ(r.entriesDone, 3);
  EXPECT_EQ(r.bytesDone, 0) << "a field that cannot be read stops the reading";
  EXPECT_EQ(r.totalBytes, 0);
  r = ParseUpdateState("");
  EXPECT_EQ(r.stateVersion, 0);
  UpdateStateRecord missing{1, 2, 3, 4};
  EXPECT_FALSE(ReadUpdateState(u"../config/patcher/none.sw", missing));
  EXPECT_EQ(missing.entriesDone, 0);
}

TEST_F(FormatsTest, SavedStateReplacesTheRecordInsteadOfRewritingItInPlace) {
  // A reader holding the old file (a crash between truncate and write in the
  // old scheme) must still see a whole record: the new one is renamed over.
  WriteFileBytes(Config("ustate.sw"), "5 1 0 0\r\r\n");
  std::filesystem::create_hard_link(Config("ustate.sw"), Config("old-ustate"));
  SaveUpdateState(6, 2, 8192, 9000);
  EXPECT_EQ(ReadFileBytes(Config("ustate.sw")), "6 2 8192 9000\r\r\n");
  EXPECT_EQ(ReadFileBytes(Config("old-ustate")), "5 1 0 0\r\r\n");
  for (const auto& entry : std::filesystem::directory_iterator(Config(""))) {
    std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "ustate.sw" || name == "old-ustate") << "left behind: " << name;
  }
}

TEST_F(FormatsTest, ShorterStateIsWrittenOverTheRecordWithoutTruncating) {
  SaveUpdateState(101, 17, 196608, 200000);
  const std::string longer = ReadFileBytes(Config("ustate.sw"));
  EXPECT_EQ(longer, "101 17 196608 200000\r\r\n");
  std::filesystem::create_hard_link(Config("ustate.sw"), Config("same-inode"));
  SaveUpdateState(101, 18, 0, 0);
  const std::string shorter = ReadFileBytes(Config("ustate.sw"));
  EXPECT_EQ(shorter.size(), longer.size());
  EXPECT_EQ(shorter, "101 18 0 0          \r\r\n");
  EXPECT_EQ(ReadFileBytes(Config("same-inode")), shorter) << "rewritten in place";
  UpdateStateRecord back;
  ASSERT_TRUE(ReadUpdateState(UpdateStateFilePath, back));
  EXPECT_EQ(back.entriesDone, 18);
  EXPECT_EQ(back.bytesDone, 0);
  EXPECT_EQ(back.totalBytes, 0);
}

TEST_F(FormatsTest, SavingStateIsAGuardedSection) {
  CancelRequested.store(1);
  EXPECT_THROW(SaveUpdateState(1, 1, 0, 0), WorkerCancelled);
  EXPECT_FALSE(std::filesystem::exists(Config("ustate.sw")));
}

// --- Lists -------------------------------------------------------------------

TEST_F(FormatsTest, ListReaderFindsEntriesCommentsAndTheExactMarker) {
  WriteList("l.sw",
            "#comment\r\n"
            "+abc ./QQ==\r\n"
            "-----BEGIN KESTREL SIGNATURE----- \n"  // trailing blank: an entry
            "-----BEGIN KESTREL SIGNATURE-----\r\n"
            "c2lnbmF0dXJl\n");
  ListReader list(ListPath("l.sw"));
  ASSERT_TRUE(list.is_open());
  std::string line;
  EXPECT_EQ(list.Next(line), ListLine::kComment);
  EXPECT_EQ(list.Next(line), ListLine::kEntry);
  EXPECT_EQ(line, "+abc ./QQ==") << "the CR of CR LF is dropped";
  EXPECT_EQ(list.Next(line), ListLine::kEntry);
  EXPECT_EQ(list.Next(line), ListLine::kMarker);
  list.Rewind();
  EXPECT_EQ(CountListEntries(list), 2);
}

TEST_F(FormatsTest, ListWithoutMarkerEndsAndCommentsDoNotCount) {
  WriteList("l.sw", "#a\n+x QQ==\n#b\n+y Qg==\n# c\n");
  ListReader list(ListPath("l.sw"));
  EXPECT_EQ(CountListEntries(list), 2);
  list.Rewind();
  std::string line;
  EXPECT_EQ(list.NextEntry(line), ListLine::kEntry);
  EXPECT_EQ(list.NextEntry(line), ListLine::kEntry);
  EXPECT_EQ(line, "+y Qg==");
  EXPECT_EQ(list.NextEntry(line), ListLine::kEnd);
}

TEST_F(FormatsTest, LinesUpTo399BytesAreReadWholeAndLongerOnesAreFlagged) {
  std::string fits = "+d " + std::string(395, 'Q') + "\n";  // 399 bytes with its LF
  std::string over = "+d " + std::string(396, 'Q') + "\n";
  ASSERT_EQ(fits.size(), 399u);
  WriteList("l.sw", fits + over);
  ListReader list(ListPath("l.sw"));
  std::string line;
  EXPECT_EQ(list.Next(line), ListLine::kEntry);
  EXPECT_EQ(line.size(), 398u);
  EXPECT_EQ(list.Next(line), ListLine::kOverlong);
}

TEST_F(FormatsTest, EntriesSplitIntoTwoTokens) {
  ListEntryTokens t;
  ASSERT_TRUE(SplitListEntry("+0123 \t ./QQ== anything else", t));
  EXPECT_EQ(t.digestToken, "+0123");
  EXPECT_EQ(t.pathToken, "./QQ==");
  EXPECT_FALSE(SplitListEntry("   onlyone  ", t));
  EXPECT_FALSE(SplitListEntry("", t));
  EXPECT_FALSE(SplitListEntry(std::string(52, 'a') + " QQ==", t));
  EXPECT_TRUE(SplitListEntry(std::string(51, 'a') + " QQ==", t));
}

TEST_F(FormatsTest, DecodingShowsTheFileNameOnTheDetailLine) {
  ListedFile file;
  ASSERT_TRUE(
      ReadListedFile("+0123456789abcdef0123456789abcdef /ZGF0YQ==/bWFpbi5leGU=", true, file));
  EXPECT_EQ(file.operation, '+');
  EXPECT_EQ(file.listDigest, "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(file.expandedPath, "./ZGF0YQ==/bWFpbi5leGU=");
  EXPECT_EQ(file.decodedPath, u"./data/main.exe");
  ASSERT_TRUE(ReadListedFile("0123456789abcdef0123456789abcdef c2V0dXAuaW5p", false, file));
  EXPECT_EQ(file.operation, 0);
  EXPECT_EQ(file.listDigest, "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(file.decodedPath, u"./data/setup.ini");
  EXPECT_EQ(recorder_.Texts(DisplayCall::kDetail),
            (std::vector<std::u16string>{u"main.exe", u"setup.ini"}));
}

TEST_F(FormatsTest, BackslashesInDecodedNamesBecomeSeparators) {
  std::string token = "/" + EncodeListName("sub\\file.txt");
  std::u16string path;
  ASSERT_TRUE(DecodeAndShowListPath(token, path));
  EXPECT_EQ(path, u"./sub/file.txt");
}

// Lists that would reach outside the patcher or staging directory are refused
// whole, before any pass runs.
TEST_F(FormatsTest, ValidationRefusesPathsThatLeaveTheirRoot) {
  const std::string digest = "+0123456789abcdef0123456789abcdef ";
  const std::string good = digest + EncodeListPath("data/ok.bin").substr(1) + "\n";
  const std::string marker = "-----BEGIN KESTREL SIGNATURE-----\n";
  struct Case {
    const char* what;
    std::string entry;
  } cases[] = {
      {"dot-dot component", digest + EncodeListPath("data/../../escape") + "\n"},
      {"dot-dot hidden in a backslash name", digest + "/" + EncodeListName("..\\..\\x") + "\n"},
      {"absolute path", digest + EncodeListName("/etc/passwd") + "\n"},
      {"empty component", digest + "./QQ==//Qg==\n"},
      {"control character", digest + "/" + EncodeListName(std::string("a\x01") + "b") + "\n"},
      {"invalid UTF-8", digest + "/" + EncodeListName("\xc3\x28") + "\n"},
      {"a single token", "+0123456789abcdef0123456789abcdef\n"},
      {"an overlong line", digest + "/" + std::string(400, 'Q') + "\n"},
      {"a deletion outside", "- " + EncodeListPath("..") + "\n"},
  };
  for (const Case& c : cases) {
    // First in the list, so no list directory is put in front of it.
    WriteList("l.sw", c.entry + good + marker + "c2ln\n");
    ListReader list(ListPath("l.sw"));
    CurrentListDir.clear();
    EXPECT_FALSE(ValidateListEntries(list, true)) << c.what;
  }
  WriteList("l.sw", "#c\n" + good + "- " + EncodeListPath("old.bin").substr(1) + "\n" + marker);
  ListReader list(ListPath("l.sw"));
  CurrentListDir = "./a2VlcA==/";
  EXPECT_TRUE(ValidateListEntries(list, true));
  EXPECT_EQ(CurrentListDir, "./a2VlcA==/") << "validation leaves the list directory alone";
  std::string line;
  EXPECT_EQ(list.Next(line), ListLine::kComment) << "the reader is rewound";
}

}  // namespace
}  // namespace launcher
