#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "pack/frame_decoder.h"
#include "pack/pack.h"
#include "pack_test_data.h"
#include "support/temp_dir.h"

namespace launcher {
namespace {

using namespace launcher::testing;

class DecompressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    content_ = MixedContent(300000, 11);
    WriteFileBytes(dir_ / "in.bin", content_);
    ASSERT_TRUE(CompressFileTo(U16(dir_ / "in.bin"), U16(dir_ / "good.zst"), nullptr));
    good_ = ReadFileBytes(dir_ / "good.zst");
    std::filesystem::create_directory(dir_ / "out");
  }

  // Decompresses `source` bytes over an existing target; on failure the
  // target must be as it was and no temporary file may be left behind. The
  // decoder fed the same bytes in small uneven pieces (the header split
  // across them) must come to the same answer and the same target.
  bool Decompress(std::string_view source) {
    const bool whole = DecompressWhole(source);
    const std::string result = ReadFileBytes(dir_ / "out" / "target.bin");
    WriteFileBytes(dir_ / "out" / "target.bin", "old content");
    FrameDecoder decoder(U16(dir_ / "out" / "target.bin"));
    for (std::size_t at = 0, step = 1; at < source.size(); step = step % 7 + 1) {
      const std::size_t piece = at < 64 ? step : 65536;
      decoder.Feed(source.substr(at, piece));
      at += piece;
    }
    EXPECT_EQ(decoder.Commit(true), whole) << "fed in pieces";
    EXPECT_EQ(EntriesInOut(), 1u) << "stray files beside the target, fed in pieces";
    EXPECT_TRUE(ReadFileBytes(dir_ / "out" / "target.bin") == (whole ? result : "old content"));
    return whole;
  }

  std::size_t EntriesInOut() {
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_ / "out")) {
      ++entries;
    }
    return entries;
  }

  bool DecompressWhole(std::string_view source) {
    WriteFileBytes(dir_ / "source.zst", source);
    WriteFileBytes(dir_ / "out" / "target.bin", "old content");
    const bool ok = DecompressFile(U16(dir_ / "source.zst"), U16(dir_ / "out" / "target.bin"));
    EXPECT_EQ(EntriesInOut(), 1u) << "stray files beside the target";
    if (!ok) {
      EXPECT_EQ(ReadFileBytes(dir_ / "out" / "target.bin"), "old content");
    }
    return ok;
  }

  // A small frame whose header holds a one-byte content size (single
  // segment), so the size can be changed in place.
  std::string SmallFrame(std::size_t size) {
    WriteFileBytes(dir_ / "small.bin", MixedContent(size, 5));
    EXPECT_TRUE(CompressFileTo(U16(dir_ / "small.bin"), U16(dir_ / "small.zst"), nullptr));
    return ReadFileBytes(dir_ / "small.zst");
  }

  TempDir dir_;
  std::string content_;
  std::string good_;
};

TEST_F(DecompressTest, GoodFrameReplacesTheTarget) {
  ::umask(022);
  ASSERT_TRUE(Decompress(good_));
  EXPECT_EQ(ReadFileBytes(dir_ / "out" / "target.bin"), content_);
  // An ordinary file for the patcher, not a private temporary one.
  struct stat info {};
  ASSERT_EQ(::stat((dir_ / "out" / "target.bin").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST_F(DecompressTest, DamagedFramesLeaveTheTargetAlone) {
  EXPECT_FALSE(Decompress(""));
  EXPECT_FALSE(Decompress("not a zstd frame at all"));

  std::string magic = good_;
  magic[0] = static_cast<char>(magic[0] ^ 0x40);
  EXPECT_FALSE(Decompress(magic));

  EXPECT_FALSE(Decompress(good_.substr(0, good_.size() / 2)));
  EXPECT_FALSE(Decompress(good_.substr(0, good_.size() - 1)));

  std::string corrupt = good_;
  corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 0x5a);
  EXPECT_FALSE(Decompress(corrupt));

  std::string checksum = good_;
  checksum.back() = static_cast<char>(checksum.back() ^ 1);
  EXPECT_FALSE(Decompress(checksum));
}

TEST_F(DecompressTest, NothingMayFollowTheFrame) {
  EXPECT_FALSE(Decompress(good_ + '\0'));
  EXPECT_FALSE(Decompress(good_ + good_));
  // A skippable frame in front carries no content.
  const std::string skippable = std::string("\x50\x2a\x4d\x18\x04\x00\x00\x00", 8) + "abcd";
  EXPECT_FALSE(Decompress(skippable + good_));
}

TEST_F(DecompressTest, ContentMustMatchTheDeclaredSize) {
  const std::string frame = SmallFrame(100);
  const auto descriptor = static_cast<unsigned char>(frame[4]);
  ASSERT_EQ(descriptor & 0xe0, 0x20) << "expected a single-segment frame with a 1-byte size";
  ASSERT_EQ(static_cast<unsigned char>(frame[5]), 100);
  ASSERT_TRUE(Decompress(frame));

  std::string smaller = frame;
  smaller[5] = 99;  // more output than declared
  EXPECT_FALSE(Decompress(smaller));
  std::string larger = frame;
  larger[5] = 101;
  EXPECT_FALSE(Decompress(larger));
}

TEST_F(DecompressTest, RefusesHugeDeclarationsBeforeWriting) {
  // Header only: 8-byte content size of 5 GiB, 1 MiB window, then an empty
  // last raw block.
  std::string header("\x28\xb5\x2f\xfd\xc0\x50", 6);
  const std::uint64_t declared = std::uint64_t{5} << 30;
  for (int i = 0; i < 8; ++i) header.push_back(static_cast<char>((declared >> (8 * i)) & 0xff));
  header += std::string("\x01\x00\x00", 3);
  EXPECT_FALSE(Decompress(header));

  // A window of 2^31 bytes, without a content size.
  const std::string window("\x28\xb5\x2f\xfd\x00\xa8\x01\x00\x00", 9);
  EXPECT_FALSE(Decompress(window));
}

// Past the output buffer the target is written in bulk, past the page cache
// where the file system allows, and its last piece through the cache.
TEST_F(DecompressTest, LargeTargetIsWrittenWhole) {
  WriteFileBytes(dir_ / "large.bin", MixedContent(3 * 1024 * 1024 + 4097, 9));
  ASSERT_TRUE(CompressFileTo(U16(dir_ / "large.bin"), U16(dir_ / "large.zst"), nullptr));
  ASSERT_TRUE(Decompress(ReadFileBytes(dir_ / "large.zst")));
  EXPECT_TRUE(ReadFileBytes(dir_ / "out" / "target.bin") == ReadFileBytes(dir_ / "large.bin"));
}

TEST_F(DecompressTest, FrameWithoutContentSizeIsAccepted) {
  const std::string command =
      "zstd -q -c < '" + (dir_ / "in.bin").string() + "' > '" + (dir_ / "piped.zst").string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  ASSERT_TRUE(Decompress(ReadFileBytes(dir_ / "piped.zst")));
  EXPECT_EQ(ReadFileBytes(dir_ / "out" / "target.bin"), content_);
}

TEST_F(DecompressTest, LongTargetNameAndFifoSource) {
  // A name at the file-name length limit still leaves room for the
  // temporary file.
  const std::string longName(255, 'n');
  ASSERT_TRUE(DecompressFile(U16(dir_ / "good.zst"), U16(dir_ / "out" / longName)));
  EXPECT_EQ(ReadFileBytes(dir_ / "out" / longName), content_);
  // A FIFO without a writer would block a plain open.
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(DecompressFile(U16(dir_ / "fifo"), U16(dir_ / "out" / "t.bin")));
  std::int64_t count = 0;
  unsigned char* buffer = nullptr;
  EXPECT_EQ(CalcCompressFile(U16(dir_ / "fifo"), count, buffer), 0);
  EXPECT_EQ(buffer, nullptr);
}

TEST_F(DecompressTest, MissingSourceOrTargetDirectory) {
  EXPECT_FALSE(DecompressFile(U16(dir_ / "missing.zst"), U16(dir_ / "out" / "t.bin")));
  EXPECT_FALSE(DecompressFile(U16(dir_ / "good.zst"), U16(dir_ / "nowhere" / "t.bin")));
  EXPECT_FALSE(DecompressFile(U16(dir_ / "good.zst"), u""));
  EXPECT_FALSE(DecompressFile(u"", U16(dir_ / "out" / "t.bin")));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out" / "t.bin"));
}

}  // namespace
}  // namespace launcher
