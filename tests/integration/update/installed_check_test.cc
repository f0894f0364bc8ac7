// "Is the installed file current?" through the record of verified files and
// the look-ahead, on real files: what the record may answer without reading,
// what makes it read again, and answers computed ahead of a changed file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "crypto/md5_digest.h"
#include "files/utf16.h"
#include "pack/pack.h"
#include "platform/file_stamp.h"
#include "support/engine_env.h"
#include "update/digest_lookahead.h"
#include "update/file_fetch.h"
#include "update/verified_files.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::DisplayCall;
using testing::EngineEnv;
using testing::ReadFileBytes;
using testing::WriteFileBytes;

constexpr std::u16string_view kRel = u"./data/a.bin";

class InstalledCheckTest : public ::testing::Test {
 protected:
  InstalledCheckTest() {
    file_ = env_.Patcher("data/a.bin");
    WriteFileBytes(file_, std::string(40000, 'a') + "installed");
    Age();
    wrong_ = Md5Hex("a digest the file does not have");
  }
  // Moves the content's time stamp an hour back.
  void Age() { fs::last_write_time(file_, fs::last_write_time(file_) - std::chrono::hours(1)); }
  std::string ContentDigest() const {
    char digest[kDigestTextCapacity] = {};
    EXPECT_TRUE(DigestCompressedForm(file_.u16string(), digest));
    return digest;
  }
  FileStamp StampNow() const {
    FileStamp stamp;
    EXPECT_TRUE(ReadFileStamp(file_, stamp));
    return stamp;
  }
  // Records a wrong digest for the file as it stands and starts a run that
  // trusts the record (`trusted`) or not.
  void RecordWrongDigest(bool trusted = true) {
    BeginVerifiedRecord(true);
    NoteVerifiedFile(kRel, StampNow(), wrong_);
    SaveVerifiedRecord(true);
    BeginVerifiedRecord(trusted);
  }
  // True when the record answered (it says the wrong digest is current).
  bool RecordAnswers() { return IsInstalledFileCurrent(kRel, wrong_); }

  EngineEnv env_;
  fs::path file_;
  std::string wrong_;
};

TEST_F(InstalledCheckTest, RecordAnswersWithoutReadingUntilAnyFieldOfTheStampChanges) {
  RecordWrongDigest();
  EXPECT_TRUE(RecordAnswers());
  EXPECT_EQ(env_.display.Percents(DisplayCall::kFile), (std::vector<int>{0, 100}));

  const std::string content = ContentDigest();
  const auto readsAfter = [&](auto change) {
    RecordWrongDigest();
    change();
    return !RecordAnswers() && IsInstalledFileCurrent(kRel, ContentDigest());
  };
  EXPECT_TRUE(readsAfter([&] {
    fs::permissions(file_, fs::perms::owner_exec, fs::perm_options::add);
  })) << "change time";
  EXPECT_TRUE(readsAfter([&] {
    fs::last_write_time(file_, fs::last_write_time(file_) + std::chrono::seconds(1));
  })) << "modification time";
  EXPECT_TRUE(readsAfter([&] {
    const auto when = fs::last_write_time(file_);
    fs::copy_file(file_, env_.Patcher("data/copy"));
    fs::last_write_time(env_.Patcher("data/copy"), when);
    fs::rename(env_.Patcher("data/copy"), file_);
  })) << "file id";
  EXPECT_TRUE(readsAfter([&] {
    const auto when = fs::last_write_time(file_);
    fs::resize_file(file_, 100);
    fs::last_write_time(file_, when);
  })) << "size";
  EXPECT_NE(ContentDigest(), content);

  // A content check refreshes the record: the next run trusts what it found.
  SaveVerifiedRecord(true);
  BeginVerifiedRecord(true);
  EXPECT_TRUE(IsInstalledFileCurrent(kRel, ContentDigest()));
  EXPECT_FALSE(IsInstalledFileCurrent(kRel, wrong_));
}

TEST_F(InstalledCheckTest, RacyDamagedOrUntrustedRecordsMakeTheCheckReadTheFile) {
  // Stamped after the moment the entry is saved: racily clean.
  fs::last_write_time(file_, fs::file_time_type::clock::now() + std::chrono::seconds(30));
  RecordWrongDigest();
  EXPECT_FALSE(RecordAnswers());
  Age();

  // A damaged record (any damage: verified_files_test) is an empty one.
  RecordWrongDigest();
  WriteFileBytes(env_.Config("verified.sw"), "verified-files 1\n");
  BeginVerifiedRecord(true);
  EXPECT_FALSE(RecordAnswers());

  // The full check reads every file and refreshes the record from it.
  RecordWrongDigest(false);
  EXPECT_FALSE(RecordAnswers());
  SaveVerifiedRecord(true);
  BeginVerifiedRecord(true);
  EXPECT_TRUE(IsInstalledFileCurrent(kRel, ContentDigest()));
}

TEST_F(InstalledCheckTest, AnswerComputedAheadOfAChangedFileIsComputedAgain) {
  const std::string before = ContentDigest();
  SetLookAheadHelpersForTesting(2);
  {
    LookAheadScope scope({file_.u16string(), env_.Patcher("data/b.bin").u16string()});
    ASSERT_NE(ActiveLookAhead(), nullptr);
    ActiveLookAhead()->WaitForAnswersForTesting(2);
    WriteFileBytes(file_, std::string(40000, 'b') + "installed");
    Age();
    EXPECT_NE(ContentDigest(), before);
    EXPECT_FALSE(IsInstalledFileCurrent(kRel, before));
    EXPECT_FALSE(IsInstalledFileCurrent(u"./data/b.bin", before));
  }
  {
    LookAheadScope scope({file_.u16string()});
    ActiveLookAhead()->WaitForAnswersForTesting(1);
    EXPECT_TRUE(IsInstalledFileCurrent(kRel, ContentDigest()));
  }
  SetLookAheadHelpersForTesting(-1);
}

}  // namespace
}  // namespace launcher
