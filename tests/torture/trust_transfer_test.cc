// The attack matrix of the release statement, part two: what the signed
// sizes and digests bound. A body past its signed size and a statement
// without end, slow retrieval, a twin of a file with the listed MD5 but
// another SHA-256, too little disk room; and the full check by SHA-256 with
// the transfer total the statement makes known.
#include <gtest/gtest.h>

#include "crypto/ed25519.h"
#include "crypto/sha256_digest.h"
#include "crypto/signer.h"
#include "files/paths.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "pack/pack.h"
#include "torture/scoped_tmpfs.h"
#include "torture/trust_bed.h"
#include "update/engine_downloader.h"
#include "update/list_path.h"
#include "update/release_manifest.h"
#include "update/release_statement.h"
#include "update/update_state.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;

class TrustTransferTest : public TrustBed {
 protected:
  void SetUp() override { StartNginx(); }

  void UseNginx() { env_.UseServer(nginx_->BaseUrl()); }

  void Install(const std::string& name, int version) {
    Serve(name);
    ASSERT_TRUE(RunNormal());
    ExpectState(R(version), version, version);
  }

  // One run against the fault server with `route` for `target`, the update
  // log emptied first.
  bool RunAgainst(const std::string& target, const std::string& route) {
    StartFaultServer(R"({"routes": {")" + target + R"(": )" + route + "}}");
    fs::remove(env_.Config("update.log"));
    return RunNormal();
  }

  ManifestEntry Signed(const std::string& relPath) const {
    ReleaseManifest manifest;
    std::string problem;
    EXPECT_TRUE(manifest.Parse(ReadFileBytes(Served("patcher/manifest")), problem)) << problem;
    ManifestEntry entry;
    EXPECT_TRUE(manifest.Find(std::string_view(relPath), entry)) << relPath;
    return entry;
  }

  std::int64_t TempFileSize() const {
    std::error_code ec;
    const auto size = fs::file_size(env_.Config("tempfile.dat"), ec);
    return ec ? -1 : static_cast<std::int64_t>(size);
  }
};

TEST_F(TrustTransferTest, BodyPastItsSignedSizeStopsAtThatSize) {
  Install("1", 1);
  Serve("2");
  const std::int64_t signedSize = Signed("data/b.bin").compressedSize;
  for (const char* route :
       {R"({"content_length": 1099511627776, "body_size": 30000})", R"({"body_size": 300000})",
        R"({"chunked": true, "body_size": 300000})"}) {
    SCOPED_TRACE(route);
    EXPECT_FALSE(RunAgainst(FileTarget("data/b.bin"), route));
    EXPECT_TRUE(Logged(MSG_DOWNLOAD_ERROR_3)) << "the transfer stops at the signed size";
    EXPECT_LE(TempFileSize(), signedSize) << "nothing is kept, or reserved, past it";
    ExpectState(R(1), 1, 2);
  }
  UseNginx();
  ExpectRecovery("2", 2);
}

TEST_F(TrustTransferTest, StatementOrProductIdWithoutEndIsCutAtItsCap) {
  Install("1", 1);
  Serve("2");
  for (const char* route :
       {R"({"body_size": 1000000, "content_length": false})", R"({"body_size": 1000000})",
        R"({"chunked": true, "body_size": 1000000})"}) {
    SCOPED_TRACE(route);
    EXPECT_FALSE(RunAgainst("/patcher/statement", route));
    EXPECT_TRUE(LastStatusIs(MSG_RELEASE_NOT_TRUSTED));
    EXPECT_TRUE(Logged(MSG_DOWNLOAD_ERROR_3)) << "the statement is fetched up to its cap only";
    EXPECT_FALSE(fs::exists(env_.Config("statement.sw")));
    ExpectState(R(1), 1, 1);
  }
  // The unsigned product-id file has a small cap of its own.
  EXPECT_FALSE(RunAgainst("/info/pid",
                          R"({"body": "1\n", "extra_bytes": 1000000, "content_length": false})"));
  EXPECT_TRUE(LastStatusIs(MSG_SERVER_INFO_MISSING));
  EXPECT_TRUE(Logged(MSG_DOWNLOAD_ERROR_3));
  UseNginx();
  ExpectRecovery("2", 2);
}

TEST_F(TrustTransferTest, SlowRetrievalIsAbandonedThenRetriedThenGivenUp) {
  // Without release keys the limit stays the receive time-out.
  {
    ScopedReleaseKeys none({});
    EXPECT_EQ(EngineDownloaderOptions().lowSpeedBytesPerSecond, 1);
    EXPECT_EQ(EngineDownloaderOptions().receiveTimeoutMs, 90000);
  }
  // A slow link's settings, here a test's: 8 KiB a second over 1 s.
  WriteUtf16Lines(env_.Config("update.cfg"), {"LowSpeedLimit 8192", "LowSpeedTime 1"});
  Install("1", 1);
  Serve("2");
  const std::string target = FileTarget("data/b.bin");
  const fs::path body = Served("patcher/patcher") / EncodeListPath("data/b.bin").substr(2);
  // About 2 KiB a second: the file would arrive in ten seconds, were a
  // trickle allowed to hold the launcher.
  EXPECT_FALSE(RunAgainst(target, R"({"body_file": ")" + body.string() +
                                      R"(", "trickle": {"chunk": 200, "delay_ms": 100}})"));
  EXPECT_TRUE(LastStatusIs(MSG_UPDATE_FAILED));
  std::size_t attempts = 0;
  for (const std::string& request : fault_->Requests()) {
    if (request.rfind("GET " + target + " ", 0) == 0) ++attempts;
  }
  // One more when the file was fetched ahead first (abandoned too, then
  // left to the pass).
  EXPECT_TRUE(attempts == 2u || attempts == 3u)
      << attempts << ": abandoned, retried once, given up";
  ExpectState(R(1), 1, 2);
  UseNginx();
  ExpectRecovery("2", 2);
}

TEST_F(TrustTransferTest, TwinWithTheListedMd5ButAnotherSha256IsNeverInstalled) {
  Install("1", 1);
  Serve("2");
  // Another compressed form served for data/b.bin, and lists that give its
  // MD5: what an MD5 collision with the published file would look like.
  const fs::path served = Served("patcher/patcher") / EncodeListPath("data/b.bin").substr(2);
  const std::string original = Md5Hex(ReadFileBytes(served));
  WriteFileBytes(root() / "twin", NoiseBytes(20000, 99));
  char twin[kDigestTextCapacity] = {};
  ASSERT_TRUE(CompressFileTo(FromUtf8Lossy((root() / "twin").string()),
                             FromUtf8Lossy(served.string()), twin));
  SignedStatement statement;
  std::string problem;
  ASSERT_TRUE(
      ParseReleaseStatement(ReadFileBytes(Served("patcher/statement")), statement, problem));
  for (BoundFile& bound : statement.statement.files) {
    if (bound.path == "patcher/manifest") continue;
    std::string content = TextModeContent(ReadFileBytes(Served(bound.path)));
    content.resize(content.find("-----BEGIN KESTREL SIGNATURE-----"));
    if (content.find(original) != std::string::npos) {
      content.replace(content.find(original), original.size(), twin);
    }
    const std::string list = ServerTree::Sign(content);
    WriteFileBytes(Served(bound.path), list);
    bound.size = static_cast<std::int64_t>(list.size());
    bound.sha256 = Sha256Hex(list);
  }
  // The statement is signed again over the new lists; the manifest still
  // gives the published file's SHA-256.
  const std::string body = FormatStatementBody(statement.statement);
  const std::string key = ReadFileBytes(TestReleaseKeyPath(1));
  const auto publicKey = Ed25519PublicKey::FromPem(TestReleasePublicPem(1));
  WriteFileBytes(Served("patcher/statement"),
                 body + FormatSignatureLine(publicKey->key_id(), *Ed25519Sign(key, body)));

  EXPECT_FALSE(RunNormal());
  ExpectState(R(1), 1, 2);
  EXPECT_FALSE(RunFull());
  ExpectState(R(1), 1, 2);
  ExpectRecovery("2", 2);
}

TEST_F(TrustTransferTest, TooLittleRoomStopsTheUpdateBeforeAnyFetch) {
  Install("1", 1);
  const fs::path keep = root() / "patcher.keep";
  fs::copy(env_.Patcher(), keep, fs::copy_options::recursive);
  ScopedTmpfs small(env_.Patcher(), 8u << 20);
  if (!small.mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  fs::copy(keep, env_.Patcher(), fs::copy_options::recursive);

  Serve("2");
  EXPECT_FALSE(RunNormal());
  EXPECT_TRUE(LastStatusIs(MSG_DISK_SPACE_LOW));
  EXPECT_TRUE(Logged(MSG_LOG_DISK_SPACE_LOW));
  EXPECT_FALSE(RunFull());
  EXPECT_TRUE(LastStatusIs(MSG_DISK_SPACE_LOW));
  EXPECT_EQ(FetchedSinceServe(), 0u);
  ExpectState(R(1), 1, 2);

  ASSERT_TRUE(small.Resize(64u << 20));
  EXPECT_TRUE(RunNormal());
  ExpectState(R(2), 2, 2);
}

TEST_F(TrustTransferTest, FullCheckGoesBySha256AndTheTransferTotalIsKnown) {
  Install("1", 1);
  std::int64_t all = 0;
  for (const auto& [path, content] : R(1)) all += Signed(path).compressedSize;
  EXPECT_EQ(KnownTransferTotal, all) << "a first installation fetches every file";

  Serve("2");
  EXPECT_TRUE(RunNormal());
  EXPECT_EQ(KnownTransferTotal,
            Signed("data/b.bin").compressedSize + Signed("d.txt").compressedSize);
  ExpectState(R(2), 2, 2);

  // A file changed at the same size joins the total when the check finds it;
  // a missing one is known from the start.
  std::string damaged = R(2).at("data/b.bin");
  damaged[100] ^= 1;
  WriteFileBytes(env_.Patcher("data/b.bin"), damaged);
  fs::remove(env_.Patcher("d.txt"));
  EXPECT_TRUE(RunFull());
  ExpectState(R(2), 2, 2);
  EXPECT_EQ(KnownTransferTotal,
            Signed("data/b.bin").compressedSize + Signed("d.txt").compressedSize);
  // The files it found current were checked by their SHA-256, which the
  // record keeps.
  EXPECT_NE(ReadFileBytes(env_.Config("verified.sw")).find(Signed("a.txt").installedSha256),
            std::string::npos);
}

// The delta index is fetched as the statement names it, and a patch's base
// is matched by the installed file's SHA-256 (the check of a manifest reads
// no list digest): release 4 arrives without a whole file.
TEST_F(TrustTransferTest, PatchesComeThroughTheStatementAndMatchTheirBaseBySha256) {
  Install("3", 3);
  Serve("4");
  EXPECT_TRUE(RunNormal());
  ExpectState(R(4), 4, 4);
  EXPECT_EQ(FetchedSinceServe(), 0u) << "b.bin came as a patch";
}

}  // namespace
}  // namespace launcher::testing
