// launcher-publish and the release statement, run as real processes: keygen
// makes both kinds of keys, build signs a statement and a manifest that
// verify-tree checks against the files, and refresh re-signs only what it
// signed before.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "crypto/ed25519.h"
#include "crypto/release_keys.h"
#include "crypto/sha256_digest.h"
#include "support/publish_fixture.h"
#include "support/signed_repo.h"
#include "support/temp_dir.h"
#include "update/release_statement.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;

SignedStatement ReadStatement(const fs::path& tree, int key = 1) {
  SignedStatement read;
  std::string problem;
  EXPECT_TRUE(ParseReleaseStatement(ReadFileBytes(tree / "patcher/statement"), read, problem))
      << problem;
  const std::string pem = TestReleasePublicPem(key);
  EXPECT_EQ(CheckStatementSignatures(read, ReleaseKeys({pem})), SignatureCheck::kValid);
  return read;
}

class PublishReleaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteRelease(dir_ / "releases", 1, {{"a.txt", "one"}, {"data/b.bin", "bee"}});
    WriteRelease(dir_ / "releases", 2, {{"a.txt", "two"}, {"data/b.bin", "bee"}});
  }

  ProcessResult Build(std::vector<std::string> args) {
    const std::string releases = (dir_ / "releases").string();
    const std::string key = TestPrivateKeyPath().string();
    args.insert(args.begin(), {"build", "--releases", releases, "--key", key, "--pid", "7", "--out",
                               tree().string()});
    return RunPublish(args);
  }

  ProcessResult Verify(std::vector<std::string> args) {
    const std::string key = TestPublicKeyPath().string();
    args.insert(args.begin(), {"verify-tree", tree().string(), "--pubkey", key});
    return RunPublish(args);
  }

  fs::path tree() const { return dir_ / "tree"; }
  std::string Key(int which) const { return TestReleaseKeyPath(which).string(); }
  std::string Pub(int which) const { return TestReleasePublicKeyPath(which).string(); }

  TempDir dir_;
};

TEST_F(PublishReleaseTest, KeygenWritesTheListPairAndTheReleasePair) {
  const fs::path keys = dir_ / "keys";
  ASSERT_EQ(RunPublish({"keygen", "--out", keys.string()}).status, 0);
  struct stat st {};
  ASSERT_EQ(stat((keys / "release-private.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(Ed25519PublicKey::FromPem(ReadFileBytes(keys / "release-public.pem")), nullptr);
  EXPECT_TRUE(fs::exists(keys / "public.pem"));
  // Nothing is ever overwritten.
  EXPECT_EQ(RunPublish({"keygen", "--out", keys.string(), "--type", "release"}).status, 1);
}

TEST_F(PublishReleaseTest, BuildSignsAStatementAndVerifyTreeChecksEveryFileAgainstIt) {
  const ProcessResult built = Build({"--release-key", Key(1), "--expires", "2d"});
  ASSERT_EQ(built.status, 0) << built.err;

  const ReleaseStatement statement = ReadStatement(tree()).statement;
  EXPECT_EQ(statement.product, 7);
  EXPECT_EQ(statement.version, 2);
  EXPECT_EQ(statement.expiresAt - statement.signedAt, 2 * 86400);
  for (const char* name : {"patcher/files.md5", "patcher/v-1.inc", "patcher/manifest"}) {
    const BoundFile* bound = statement.Find(name);
    ASSERT_NE(bound, nullptr) << name;
    EXPECT_EQ(bound->sha256, Sha256Hex(ReadFileBytes(tree() / name))) << name;
  }
  EXPECT_NE(ReadFileBytes(tree() / "patcher/manifest").find(Sha256Hex("bee") + " data/b.bin\n"),
            std::string::npos);

  const ProcessResult good = Verify({"--release-pubkey", Pub(1)});
  EXPECT_EQ(good.status, 0) << good.out;
  EXPECT_NE(Verify({}).out.find("note: patcher/statement: present but not checked"),
            std::string::npos);
  const ProcessResult foreign = Verify({"--release-pubkey", Pub(2)});
  EXPECT_EQ(foreign.status, 1);
  EXPECT_NE(foreign.out.find("not signed by the given release key"), std::string::npos);

  // A manifest edited after signing, and a list the statement does not name.
  const std::string original = ReadFileBytes(tree() / "patcher/manifest");
  std::string edited = original;
  edited[edited.size() - 2] = 'X';
  WriteFileBytes(tree() / "patcher/manifest", edited);
  EXPECT_NE(Verify({"--release-pubkey", Pub(1)}).out.find("patcher/manifest: size or SHA-256"),
            std::string::npos);
  WriteFileBytes(tree() / "patcher/manifest", original);
  fs::copy_file(tree() / "patcher/v-1.inc", tree() / "patcher/v-2.inc");
  EXPECT_NE(Verify({"--release-pubkey", Pub(1)}).out.find("patcher/v-2.inc: not named"),
            std::string::npos);
}

TEST_F(PublishReleaseTest, RefreshResignsOnlyWhatItSignedBefore) {
  ASSERT_EQ(Build({"--release-key", Key(1), "--expires", "1h"}).status, 0);
  const SignedStatement before = ReadStatement(tree());

  const ProcessResult refreshed =
      RunPublish({"refresh", tree().string(), "--release-key", Key(1), "--expires", "30d"});
  ASSERT_EQ(refreshed.status, 0) << refreshed.err;
  const SignedStatement after = ReadStatement(tree());
  EXPECT_EQ(after.statement.expiresAt - after.statement.signedAt, 30 * 86400);
  EXPECT_EQ(after.statement.version, before.statement.version);
  EXPECT_EQ(after.statement.files.size(), before.statement.files.size());
  EXPECT_EQ(Verify({"--release-pubkey", Pub(1)}).status, 0);

  // Another key alone may not re-sign it; with the current one it joins
  // (a rotation), and the next key verifies it too.
  EXPECT_EQ(RunPublish({"refresh", tree().string(), "--release-key", Key(2)}).status, 1);
  ASSERT_EQ(
      RunPublish({"refresh", tree().string(), "--release-key", Key(1), "--release-key", Key(2)})
          .status,
      0);
  EXPECT_EQ(ReadStatement(tree(), 2).signatures.size(), 2u);

  // A served list or statement changed on the server is never signed again.
  const std::string statement = ReadFileBytes(tree() / "patcher/statement");
  WriteFileBytes(tree() / "patcher/files.md5", ReadFileBytes(tree() / "patcher/files.md5") + "#");
  const ProcessResult changedList =
      RunPublish({"refresh", tree().string(), "--release-key", Key(1)});
  EXPECT_EQ(changedList.status, 1);
  EXPECT_NE(changedList.err.find("patcher/files.md5: does not match"), std::string::npos);
  EXPECT_EQ(ReadFileBytes(tree() / "patcher/statement"), statement);
  std::string edited = statement;
  edited.replace(edited.find("version 2"), 9, "version 9");
  WriteFileBytes(tree() / "patcher/statement", edited);
  EXPECT_EQ(RunPublish({"refresh", tree().string(), "--release-key", Key(1)}).status, 1);
  EXPECT_EQ(ReadFileBytes(tree() / "patcher/statement"), edited);
}

}  // namespace
}  // namespace launcher::testing
