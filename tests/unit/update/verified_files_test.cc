// The record of verified files: its text form, what it trusts and what it
// drops.
#include "update/verified_files.h"

#include <gtest/gtest.h>

#include <string>

#include "crypto/md5_digest.h"
#include "support/temp_dir.h"

namespace launcher {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

constexpr std::int64_t kSecond = 1000000000;
constexpr std::int64_t kMs = 1000000;
const std::string kDigest = "0123456789abcdef0123456789abcdef";

FileStamp Stamp() {
  return FileStamp{.size = 1234,
                   .modifiedNs = 1700000000 * kSecond + 123456789,
                   .changedNs = 1700000000 * kSecond + 223456789,
                   .fileId = 99,
                   .volumeId = 7};
}

// A record holding one entry for "./data/a.bin", saved `savedAfterNs` after
// the file's last change.
VerifiedFiles RecordOf(const FileStamp& stamp, std::int64_t savedAfterNs) {
  VerifiedFiles record;
  record.Record(u"./data/a.bin", stamp, kDigest);
  VerifiedFiles loaded;
  EXPECT_TRUE(loaded.Parse(record.Format(stamp.changedNs + savedAfterNs)));
  return loaded;
}

// Each field of the stamp changing on a real file: installed_check_test.
TEST(VerifiedFilesTest, UnsavedAndRacilyCleanEntriesAreNotTrusted) {
  FileStamp fine = Stamp();
  VerifiedFiles unsaved;
  unsaved.Record(u"./data/a.bin", fine, kDigest);
  EXPECT_EQ(unsaved.Find(u"./data/a.bin", fine), nullptr);
  FileStamp otherVolume = fine;
  otherVolume.volumeId += 1;
  EXPECT_EQ(RecordOf(fine, kSecond).Find(u"./data/a.bin", otherVolume), nullptr);
  EXPECT_EQ(RecordOf(fine, 20 * kMs).Find(u"./data/a.bin", fine), nullptr);
  EXPECT_NE(RecordOf(fine, 80 * kMs).Find(u"./data/a.bin", fine), nullptr);
  // A content change stamped after the moment of the save (clock skew).
  FileStamp ahead = fine;
  ahead.modifiedNs = fine.changedNs + 5 * kSecond;
  EXPECT_EQ(RecordOf(ahead, -kSecond).Find(u"./data/a.bin", ahead), nullptr);
  // Whole-second stamps: the file system may stamp in steps of 2 s.
  FileStamp coarse = fine;
  coarse.modifiedNs = 1700000000 * kSecond;
  coarse.changedNs = 1700000002 * kSecond;
  EXPECT_EQ(StampGranularityNs(coarse), 2 * kSecond);
  EXPECT_EQ(RecordOf(coarse, kSecond).Find(u"./data/a.bin", coarse), nullptr);
  EXPECT_NE(RecordOf(coarse, 3 * kSecond).Find(u"./data/a.bin", coarse), nullptr);
}

TEST(VerifiedFilesTest, SavedRecordLoadsBackAndAnyDamageDropsItWhole) {
  TempDir dir;
  const std::u16string path = (dir.path() / "verified.sw").u16string();
  VerifiedFiles record;
  const FileStamp stamp = Stamp();
  record.Record(u"./b.bin", stamp, kDigest);
  record.Record(u"./a dir/é.bin", stamp, "ffffffffffffffffffffffffffffffff");
  record.Record(u"./bad\nname", stamp, kDigest);  // cannot be written on one line
  record.Record(u"./c.bin", stamp, "not a digest");
  ASSERT_TRUE(record.dirty());
  ASSERT_TRUE(record.Save(path));
  EXPECT_FALSE(record.dirty());

  VerifiedFiles loaded;
  loaded.Load(path);
  EXPECT_EQ(loaded.size(), 2u);
  ASSERT_NE(loaded.Find(u"./a dir/é.bin", stamp), nullptr);
  EXPECT_EQ(*loaded.Find(u"./a dir/é.bin", stamp), "ffffffffffffffffffffffffffffffff");
  // Sorted by path, header first, digest trailer last.
  const std::string text = ReadFileBytes(dir.path() / "verified.sw");
  EXPECT_EQ(text.rfind("verified-files 2\n", 0), 0u);
  EXPECT_LT(text.find("./a dir/"), text.find("./b.bin"));

  const auto loads = [&](const std::string& bytes) {
    WriteFileBytes(dir.path() / "verified.sw", bytes);
    VerifiedFiles other;
    other.Load(path);
    return other.size();
  };
  EXPECT_EQ(loads(text), 2u);
  std::string flipped = text;
  flipped[text.find("./b.bin") + 3] = 'c';
  EXPECT_EQ(loads(flipped), 0u);
  EXPECT_EQ(loads(text.substr(0, text.size() - 10)), 0u);
  EXPECT_EQ(loads("verified-files 3" + text.substr(16)), 0u);
  EXPECT_EQ(loads(""), 0u);
  std::filesystem::remove(dir.path() / "verified.sw");
  EXPECT_EQ(loads(std::string()), 0u);
}

TEST(VerifiedFilesTest, KeepsBothDigestsOfOneStampAndReadsTheOlderForm) {
  const FileStamp stamp = Stamp();
  const std::string sha(64, 'a');
  VerifiedFiles record;
  record.Record(u"./a.bin", stamp, kDigest);
  record.RecordSha256(u"./a.bin", stamp, sha);
  record.RecordSha256(u"./only-sha.bin", stamp, sha);
  record.RecordSha256(u"./bad.bin", stamp, "abc");  // not a SHA-256
  VerifiedFiles loaded;
  ASSERT_TRUE(loaded.Parse(record.Format(stamp.changedNs + kSecond)));
  EXPECT_EQ(loaded.size(), 2u);
  ASSERT_NE(loaded.Find(u"./a.bin", stamp), nullptr);
  ASSERT_NE(loaded.FindSha256(u"./a.bin", stamp), nullptr);
  EXPECT_EQ(*loaded.FindSha256(u"./a.bin", stamp), sha);
  EXPECT_EQ(loaded.Find(u"./only-sha.bin", stamp), nullptr);
  EXPECT_NE(loaded.FindSha256(u"./only-sha.bin", stamp), nullptr);

  // A digest for another stamp drops the one recorded before.
  FileStamp changed = stamp;
  changed.size += 1;
  loaded.Record(u"./a.bin", changed, kDigest);
  EXPECT_EQ(loaded.FindSha256(u"./a.bin", changed), nullptr);

  // A record written before SHA-256 was kept (MD5 column only) still reads.
  std::string body = "verified-files 1\n" + kDigest + " 1234 " + std::to_string(stamp.modifiedNs) +
                     " " + std::to_string(stamp.changedNs) + " 99 7 " +
                     std::to_string(stamp.changedNs + kSecond) + " ./old.bin\n";
  body += "end " + Md5Hex(body) + "\n";
  VerifiedFiles old;
  ASSERT_TRUE(old.Parse(body));
  EXPECT_NE(old.Find(u"./old.bin", stamp), nullptr);
  EXPECT_EQ(old.FindSha256(u"./old.bin", stamp), nullptr);
}

}  // namespace
}  // namespace launcher
