#include "crypto/md5_digest.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "files/utf16.h"
#include "support/temp_dir.h"

namespace launcher {
namespace {

using testing::TempDir;
using testing::WriteFileBytes;

constexpr char kEmptyMd5[] = "d41d8cd98f00b204e9800998ecf8427e";

std::u16string U16(const std::filesystem::path& path) { return FromUtf8Lossy(path.string()); }

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
  return bytes;
}

struct Recorder {
  std::vector<int> calls;
  DigestProgress callback() {
    return [this](int percent) { calls.push_back(percent); };
  }
};

TEST(Md5DigestTest, KnownVectorsInLowerCaseText) {
  EXPECT_EQ(Md5Hex(""), kEmptyMd5);
  EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(
      Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
      "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5DigestTest, ToHexNeedsRoomForTheTerminator) {
  Md5Digest digest;
  digest.Update("abc", 3);
  digest.Final();

  unsigned capacity = 50;
  EXPECT_EQ(digest.ToHex(nullptr, capacity), nullptr);
  EXPECT_EQ(capacity, 50u);

  char out[50];
  std::memset(out, 'x', sizeof out);
  capacity = 32;
  EXPECT_EQ(digest.ToHex(out, capacity), nullptr);
  EXPECT_EQ(capacity, 32u);
  EXPECT_EQ(out[0], 'x');

  capacity = 33;
  EXPECT_EQ(digest.ToHex(out, capacity), out);
  EXPECT_EQ(capacity, 32u);
  EXPECT_EQ(std::string(out), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(out[33], 'x');  // nothing written past the terminator
}

TEST(Md5DigestTest, UpdatesInPiecesGiveTheDigestOfTheWhole) {
  const std::string bytes = Pattern(100000);
  Md5Digest digest;
  for (std::size_t i = 0; i < bytes.size(); i += 777) {
    digest.Update(bytes.data() + i, std::min<std::size_t>(777, bytes.size() - i));
  }
  digest.Final();
  char out[50];
  unsigned capacity = 50;
  digest.ToHex(out, capacity);
  EXPECT_EQ(std::string(out), Md5Hex(bytes));
}

TEST(DigestFileTest, FileDigestMatchesItsBytesAtBlockBoundaries) {
  TempDir dir;
  for (const std::size_t size : {0u, 1u, 8191u, 8192u, 8193u, 16384u, 100000u}) {
    const std::string bytes = Pattern(size);
    WriteFileBytes(dir / "f.bin", bytes);
    char out[50];
    EXPECT_EQ(DigestFile(U16(dir / "f.bin"), out), 1);
    EXPECT_EQ(std::string(out), Md5Hex(bytes)) << size;
  }
}

TEST(DigestFileTest, ProgressAfterEachReadThenHundred) {
  TempDir dir;
  Recorder exact;
  WriteFileBytes(dir / "exact.bin", Pattern(8192));
  char out[50];
  DigestFile(U16(dir / "exact.bin"), out, exact.callback());
  // 8192 bytes take two reads: 8192 and then 0.
  EXPECT_EQ(exact.calls, (std::vector<int>{0, 100, 100, 100}));

  Recorder uneven;
  WriteFileBytes(dir / "uneven.bin", Pattern(20000));
  DigestFile(U16(dir / "uneven.bin"), out, uneven.callback());
  EXPECT_EQ(uneven.calls, (std::vector<int>{0, 40, 81, 100, 100}));

  Recorder empty;
  WriteFileBytes(dir / "empty.bin", "");
  DigestFile(U16(dir / "empty.bin"), out, empty.callback());
  ASSERT_FALSE(empty.calls.empty());
  EXPECT_EQ(empty.calls.front(), 0);
  EXPECT_EQ(empty.calls.back(), 100);
  EXPECT_EQ(std::string(out), kEmptyMd5);
}

int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

struct StopDigest {};

TEST(DigestFileTest, ProgressCallbackMayEndTheWork) {
  // The engine's progress callback throws when the window is closed; the file
  // must be closed on the way out. A sparse file past 4 GiB also shows the
  // percentages are taken against its 64-bit size.
  TempDir dir;
  const auto path = dir / "huge.bin";
  WriteFileBytes(path, "");
  std::filesystem::resize_file(path, (std::uint64_t{4} << 30) + 3 * 8192);
  const int before = OpenDescriptors();
  std::vector<int> calls;
  char out[50];
  EXPECT_THROW(DigestFile(U16(path), out,
                          [&calls](int percent) {
                            calls.push_back(percent);
                            if (calls.size() == 4) throw StopDigest{};
                          }),
               StopDigest);
  EXPECT_EQ(calls, (std::vector<int>{0, 0, 0, 0}));
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(DigestFileTest, UnopenableFileGivesEmptyDigestWithoutProgress) {
  TempDir dir;
  std::filesystem::create_directory(dir / "sub");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);  // would block a plain open
  for (const std::u16string& path :
       {std::u16string(), U16(dir / "missing.bin"), U16(dir / "sub"), U16(dir / "fifo")}) {
    Recorder progress;
    char out[50];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(DigestFile(path, out, progress.callback()), 1);
    EXPECT_EQ(std::string(out), kEmptyMd5);
    EXPECT_TRUE(progress.calls.empty());
  }
}

TEST(DigestBufferTest, PiecesPaceTheProgressBar) {
  const std::string bytes = Pattern(20000);
  struct Case {
    std::int64_t count;
    std::vector<int> calls;
  };
  const Case cases[] = {
      {0, {0, 100}},
      {8192, {0, 100}},           // one piece, no intermediate update
      {8193, {0, 99, 100}},       // 8192 + 1
      {16384, {0, 50, 100}},      // one piece here, the rest below
      {20000, {0, 40, 81, 100}},  // 8192 + 8192 + 3616
  };
  for (const Case& c : cases) {
    Recorder progress;
    char out[50];
    EXPECT_EQ(DigestBuffer(bytes.data(), c.count, out, progress.callback()), 1);
    EXPECT_EQ(progress.calls, c.calls) << c.count;
    EXPECT_EQ(std::string(out),
              Md5Hex(std::string_view(bytes.data(), static_cast<std::size_t>(c.count))));
  }
}

TEST(DigestBufferTest, NegativeOrNullInputIsEmpty) {
  char out[50];
  DigestBuffer(nullptr, 0, out);
  EXPECT_EQ(std::string(out), kEmptyMd5);
  DigestBuffer("abc", -5, out);
  EXPECT_EQ(std::string(out), kEmptyMd5);
}

}  // namespace
}  // namespace launcher
