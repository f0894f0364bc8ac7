#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "crypto/md5_digest.h"
#include "crypto/sha256_digest.h"
#include "pack/pack.h"
#include "pack/patch.h"
#include "pack_test_data.h"
#include "support/temp_dir.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using namespace launcher::testing;

// A newer build of `base`: bytes changed in many places, a block inserted in
// the middle and one removed near the end, as a game archive changes.
std::string Edited(const std::string& base) {
  std::string result = base;
  for (std::size_t at = 1000; at + 64 < result.size(); at += result.size() / 37) {
    result.replace(at, 64, MixedContent(64, static_cast<unsigned>(at)));
  }
  result.insert(result.size() / 2, MixedContent(50000, 77));
  result.erase(result.size() - 90000, 20000);
  return result;
}

class PatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = MixedContent(3 << 20, 5);
    result_ = Edited(base_);
    WriteFileBytes(dir_ / "base.bin", base_);
    WriteFileBytes(dir_ / "result.bin", result_);
    ASSERT_TRUE(MakePatchFile(dir_ / "base.bin", dir_ / "result.bin", dir_ / "p.zst", made_));
    fs::create_directory(dir_ / "out");
  }

  PatchOutcome Apply(const fs::path& base, const std::string& patch, PatchResult expected) {
    WriteFileBytes(dir_ / "patch.zst", patch);
    WriteFileBytes(dir_ / "out" / "t.bin", "old");
    const PatchOutcome outcome =
        ApplyPatchFile(base, dir_ / "patch.zst", dir_ / "out" / "t.bin", expected, true);
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_ / "out")) ++entries;
    EXPECT_EQ(entries, 1u) << "a temporary file was left beside the target";
    if (outcome != PatchOutcome::kApplied) {
      EXPECT_EQ(ReadFileBytes(dir_ / "out" / "t.bin"), "old");
    }
    return outcome;
  }

  PatchResult Expected() const { return {result_.size(), Sha256Hex(result_)}; }

  TempDir dir_;
  std::string base_;
  std::string result_;
  MadePatch made_;
};

TEST_F(PatchTest, TurnsTheBaseIntoTheResultAndIsSmall) {
  const std::string patch = ReadFileBytes(dir_ / "p.zst");
  EXPECT_EQ(made_.size, patch.size());
  EXPECT_EQ(made_.md5, Md5Hex(patch));
  std::int64_t wholeSize = 0;
  unsigned char* whole = nullptr;
  ASSERT_EQ(CalcCompressFile(U16(dir_ / "result.bin"), wholeSize, whole), 1);
  ReleasePackBuf(whole);
  EXPECT_LT(patch.size() * 10, static_cast<std::size_t>(wholeSize));

  int lastPercent = -1;
  bool monotonic = true;
  WriteFileBytes(dir_ / "patch.zst", patch);
  EXPECT_EQ(ApplyPatchFile(dir_ / "base.bin", dir_ / "patch.zst", dir_ / "out" / "t.bin",
                           Expected(), true,
                           [&](int percent) {
                             monotonic = monotonic && percent >= lastPercent;
                             lastPercent = percent;
                           }),
            PatchOutcome::kApplied);
  EXPECT_TRUE(ReadFileBytes(dir_ / "out" / "t.bin") == result_);
  EXPECT_TRUE(monotonic);
  EXPECT_EQ(lastPercent, 100);
#ifndef _WIN32
  // The stock tool reads the same frame.
  const std::string command = "zstd -q -d --long=31 --patch-from='" + (dir_ / "base.bin").string() +
                              "' '" + (dir_ / "p.zst").string() + "' -o '" +
                              (dir_ / "by-tool.bin").string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_TRUE(ReadFileBytes(dir_ / "by-tool.bin") == result_);
#endif
}

TEST_F(PatchTest, RefusesWhatDoesNotGiveTheExpectedResult) {
  const std::string patch = ReadFileBytes(dir_ / "p.zst");
  // Another base: the frame's own checksum or the SHA-256 catches it.
  std::string other = base_;
  other[other.size() / 3] ^= 0x55;
  WriteFileBytes(dir_ / "other.bin", other);
  EXPECT_EQ(Apply(dir_ / "other.bin", patch, Expected()), PatchOutcome::kWrongResult);
  EXPECT_EQ(Apply(dir_ / "missing.bin", patch, Expected()), PatchOutcome::kBaseUnreadable);
  EXPECT_EQ(Apply(dir_ / "base.bin", patch.substr(0, patch.size() - 5), Expected()),
            PatchOutcome::kBadPatch);
  EXPECT_EQ(Apply(dir_ / "base.bin", patch + "x", Expected()), PatchOutcome::kBadPatch);
  EXPECT_EQ(Apply(dir_ / "base.bin", patch, {result_.size() + 1, Sha256Hex(result_)}),
            PatchOutcome::kBadPatch);
  EXPECT_EQ(Apply(dir_ / "base.bin", patch, {result_.size(), Sha256Hex("other")}),
            PatchOutcome::kWrongResult);
  EXPECT_EQ(Apply(dir_ / "base.bin", "not a frame at all", Expected()), PatchOutcome::kBadPatch);
  EXPECT_EQ(Apply(dir_ / "base.bin", patch, Expected()), PatchOutcome::kApplied);
}

TEST_F(PatchTest, EmptyBaseAndEmptyResult) {
  WriteFileBytes(dir_ / "empty", "");
  MadePatch fromEmpty;
  ASSERT_TRUE(MakePatchFile(dir_ / "empty", dir_ / "result.bin", dir_ / "e1.zst", fromEmpty));
  EXPECT_EQ(Apply(dir_ / "empty", ReadFileBytes(dir_ / "e1.zst"), Expected()),
            PatchOutcome::kApplied);
  EXPECT_TRUE(ReadFileBytes(dir_ / "out" / "t.bin") == result_);
  MadePatch toEmpty;
  ASSERT_TRUE(MakePatchFile(dir_ / "base.bin", dir_ / "empty", dir_ / "e2.zst", toEmpty));
  EXPECT_EQ(Apply(dir_ / "base.bin", ReadFileBytes(dir_ / "e2.zst"), {0, Sha256Hex("")}),
            PatchOutcome::kApplied);
  EXPECT_EQ(ReadFileBytes(dir_ / "out" / "t.bin"), "");
}

TEST(PatchWindowTest, CoversBaseAndResultUpToTheLimit) {
  EXPECT_EQ(PatchWindowLog(0, 0), 10);
  EXPECT_EQ(PatchWindowLog(1 << 20, 1 << 20), 21);
  EXPECT_EQ(PatchWindowLog((1 << 20) + 1, 1 << 20), 22);
  EXPECT_EQ(PatchWindowLog(std::uint64_t{1} << 30, (std::uint64_t{1} << 30) + (10 << 20)), 31);
  EXPECT_EQ(PatchWindowLog(kMaxPatchFileSize, 1), 0);
  EXPECT_EQ(PatchWindowLog(1, kMaxPatchFileSize), 0);
}

}  // namespace
}  // namespace launcher
