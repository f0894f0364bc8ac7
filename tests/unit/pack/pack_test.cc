#include "pack/pack.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <cstdlib>

#include "crypto/md5_digest.h"
#include "pack/pack_format.h"
#include "pack_test_data.h"
#include "support/temp_dir.h"

namespace launcher {
namespace {

using namespace launcher::testing;

// The compressed form as CalcCompressFile gives it.
std::string Compressed(const std::filesystem::path& path) {
  std::int64_t count = -1;
  unsigned char* buffer = nullptr;
  CalcCompressFile(U16(path), count, buffer);
  if (buffer == nullptr) return "<null>";
  std::string bytes(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(count));
  ReleasePackBuf(buffer);
  return bytes;
}

TEST(PackTest, AllProducersAgreeAndDecompressionRestoresTheFile) {
  TempDir dir;
  // Sizes around the 128 KiB input chunk, where streaming could go wrong.
  for (const std::size_t size : {0u, 1u, 131071u, 131072u, 131073u, 3u * 131072u + 5u}) {
    SCOPED_TRACE(size);
    const std::string content = MixedContent(size, static_cast<unsigned>(size));
    WriteFileBytes(dir / "in.bin", content);

    const std::string form = Compressed(dir / "in.bin");
    ASSERT_NE(form, "<null>");
    EXPECT_EQ(ZSTD_getFrameContentSize(form.data(), form.size()), size);
    EXPECT_EQ(ZSTD_findFrameCompressedSize(form.data(), form.size()), form.size());

    char viaDigest[50] = {};
    ASSERT_TRUE(DigestCompressedForm(U16(dir / "in.bin"), viaDigest));
    EXPECT_EQ(std::string(viaDigest), Md5Hex(form));

    char viaFile[50] = {};
    ASSERT_TRUE(CompressFileTo(U16(dir / "in.bin"), U16(dir / "in.zst"), viaFile));
    EXPECT_EQ(ReadFileBytes(dir / "in.zst"), form);
    EXPECT_EQ(std::string(viaFile), Md5Hex(form));

    ASSERT_TRUE(DecompressFile(U16(dir / "in.zst"), U16(dir / "out.bin")));
    EXPECT_EQ(ReadFileBytes(dir / "out.bin"), content);
  }
}

// The digest's progress follows the input in one pass: one report per
// 128 KiB chunk, rising to 100, with the same digest as without it.
TEST(PackTest, DigestProgressFollowsTheChunksReadOnce) {
  TempDir dir;
  for (const std::size_t size : {0u, 131072u, 3u * 131072u + 5u}) {
    SCOPED_TRACE(size);
    WriteFileBytes(dir / "in.bin", MixedContent(size, 9));
    char plain[50] = {};
    ASSERT_TRUE(DigestCompressedForm(U16(dir / "in.bin"), plain));
    std::vector<int> reports;
    char followed[50] = {};
    ASSERT_TRUE(DigestCompressedForm(U16(dir / "in.bin"), followed,
                                     [&](int percent) { reports.push_back(percent); }));
    EXPECT_EQ(std::string(followed), std::string(plain));
    const std::vector<int> expected = size == 0        ? std::vector<int>{100}
                                      : size == 131072 ? std::vector<int>{100}
                                                       : std::vector<int>{33, 66, 99, 100};
    EXPECT_EQ(reports, expected);
  }
}

#ifndef _WIN32
// The stock tool is a Linux program; under Wine the golden bytes below stand
// for it.
TEST(PackTest, StockZstdToolReadsTheCompressedForm) {
  TempDir dir;
  const std::string content = MixedContent(500000, 7);
  WriteFileBytes(dir / "in.bin", content);
  ASSERT_TRUE(CompressFileTo(U16(dir / "in.bin"), U16(dir / "in.zst"), nullptr));
  const std::string command =
      "zstd -q -d -c '" + (dir / "in.zst").string() + "' > '" + (dir / "cli.bin").string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(ReadFileBytes(dir / "cli.bin"), content);
}
#endif

// Fixed inputs give exactly these compressed bytes. A failure means the
// compressed form changed: every list digest on every server would stop
// matching. See docs/pack-format.md before touching the constants.
TEST(PackTest, GoldenCompressedForm) {
  TempDir dir;
  struct Golden {
    std::size_t size;
    unsigned seed;
    const char* md5;
  };
  // One input per size class of the parameters (16 KiB, 128 KiB, 256 KiB,
  // larger), plus the empty file.
  const Golden cases[] = {
      {0, 0, "5d80401e01d33084c65e94f93351e94c"},
      {10000, 4, "a99f0ba891544cc6fdbad406a208ad6f"},
      {100000, 1, "d51b33fe973aaa64bc7fb9066d539311"},
      {200000, 6, "525a5249570ac711f89e181ef6ab1784"},
      {1500000, 2, "5ba21da19324ee387388b428346ea248"},
  };

  for (const Golden& golden : cases) {
    WriteFileBytes(dir / "in.bin", MixedContent(golden.size, golden.seed));
    EXPECT_EQ(Md5Hex(Compressed(dir / "in.bin")), golden.md5) << golden.size;
  }
  // Text repeated across a window boundary (the window is 2 MiB).
  std::string repeated;
  while (repeated.size() < 5u * 1024 * 1024) repeated += MixedContent(700000, 3);
  WriteFileBytes(dir / "in.bin", repeated);
  EXPECT_EQ(Md5Hex(Compressed(dir / "in.bin")), "707499b073ab530f559d5cf6a64ecdab");

  // The thread's context is reused: after a frame abandoned half-way and
  // after the largest window, every smaller class still gives its bytes.
  int pieces = 0;
  EXPECT_FALSE(CompressFileToSink(U16(dir / "in.bin"), FrozenPackParameters(),
                                  [&](const unsigned char*, std::size_t) { return ++pieces < 2; }));
  for (auto golden = std::rbegin(cases); golden != std::rend(cases); ++golden) {
    WriteFileBytes(dir / "in.bin", MixedContent(golden->size, golden->seed));
    EXPECT_EQ(Md5Hex(Compressed(dir / "in.bin")), golden->md5) << golden->size;
  }
}

TEST(PackTest, UnreadableSourceGivesNoBufferAndNoTarget) {
  TempDir dir;
  std::filesystem::create_directory(dir / "folder");
  for (const std::u16string& path : {std::u16string(), U16(dir / "missing"), U16(dir / "folder")}) {
    std::int64_t count = 5;
    auto* buffer = reinterpret_cast<unsigned char*>(&count);
    EXPECT_EQ(CalcCompressFile(path, count, buffer), 0);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(count, 0);
    char digest[50] = {};
    EXPECT_FALSE(DigestCompressedForm(path, digest));
    EXPECT_FALSE(CompressFileTo(path, U16(dir / "out.zst"), digest));
    EXPECT_FALSE(std::filesystem::exists(dir / "out.zst"));
  }
  WriteFileBytes(dir / "in.bin", "content");
  EXPECT_FALSE(CompressFileTo(U16(dir / "in.bin"), U16(dir / "no-such-dir" / "out.zst"), nullptr));
  EXPECT_FALSE(CompressFileTo(U16(dir / "in.bin"), u"", nullptr));
}

}  // namespace
}  // namespace launcher
