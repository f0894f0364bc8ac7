// The publisher's patches: made against the last K releases, nothing else
// in the tree changed by them, and verify-tree applying each to its base.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/publish_fixture.h"
#include "support/release_server.h"
#include "support/temp_dir.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;

std::string Grown(std::string base, unsigned seed) {
  base.insert(base.size() / 3, NoiseBytes(20000, seed));
  return base;
}

ProcessResult Build(const fs::path& releases, const fs::path& out, const std::string& deltas) {
  return RunPublish({"build", "--releases", releases.string(), "--key",
                     TestPrivateKeyPath().string(), "--pid", "1", "--out", out.string(), "--deltas",
                     deltas});
}

TEST(PublishDeltasTest, PatchesAgainstTheLastReleasesLeaveTheRestAsItWasAndVerify) {
  TempDir dir;
  const std::string v1 = NoiseBytes(300000, 1);
  const std::string v2 = Grown(v1, 2);
  const std::string v3 = Grown(v2, 3);
  WriteRelease(dir / "releases", 1, {{"data/a.bin", v1}, {"t.txt", "one"}});
  WriteRelease(dir / "releases", 2, {{"data/a.bin", v2}, {"t.txt", "two"}});
  WriteRelease(dir / "releases", 3,
               {{"data/a.bin", v3}, {"t.txt", "two"}, {"c.bin", NoiseBytes(5000, 4)}});

  ProcessResult built = Build(dir / "releases", dir / "k2", "2");
  ASSERT_EQ(built.status, 0) << built.err;
  EXPECT_NE(built.out.find("patches: 2 for 1 files"), std::string::npos) << built.out;
  ProcessResult none = Build(dir / "releases", dir / "k0", "0");
  ASSERT_EQ(none.status, 0) << none.err;
  EXPECT_FALSE(fs::exists(dir / "k0" / "patcher" / "delta.idx"));
  // Every file a launcher without patches reads is the same byte for byte.
  auto withPatches = TreeBytes(dir / "k2");
  for (auto it = withPatches.begin(); it != withPatches.end();) {
    it = it->first.starts_with("patcher/delta") ? withPatches.erase(it) : std::next(it);
  }
  EXPECT_TRUE(withPatches == TreeBytes(dir / "k0"));
  ProcessResult one = Build(dir / "releases", dir / "k1", "1");
  EXPECT_NE(one.out.find("patches: 1 for 1 files"), std::string::npos) << one.out;

  const std::vector<std::string> verify = {"verify-tree", (dir / "k2").string(),
                                           "--pubkey",    TestPublicKeyPath().string(),
                                           "--releases",  (dir / "releases").string()};
  ProcessResult checked = RunPublish(verify);
  EXPECT_EQ(checked.status, 0) << checked.out;
  EXPECT_NE(checked.out.find("2 patch(es) applied: OK"), std::string::npos) << checked.out;

  // A patch damaged at the same size is found.
  for (const auto& entry : fs::directory_iterator(dir / "k2" / "patcher" / "delta")) {
    std::string bytes = ReadFileBytes(entry.path());
    bytes[bytes.size() / 2] ^= 1;
    WriteFileBytes(entry.path(), bytes);
    break;
  }
  ProcessResult damaged = RunPublish(verify);
  EXPECT_EQ(damaged.status, 1);
  EXPECT_NE(damaged.out.find("problem: patcher/delta.idx: patch delta/"), std::string::npos)
      << damaged.out;
}

}  // namespace
}  // namespace launcher::testing
