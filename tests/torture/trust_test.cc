// The attack matrix of the release statement, part one: what the statement
// vouches for. Rollback, freeze, fast-forward, mix-and-match, replay, wrong
// product, tampered and foreign statements, key rotation and a player's
// clock an hour off. Each case runs the engine, changes what the server
// serves, runs again, and checks what is installed, the trusted version and
// the recovery by an honest server.
#include <gtest/gtest.h>

#include "files/paths.h"
#include "files/string_table.h"
#include "support/publish_fixture.h"
#include "torture/trust_bed.h"
#include "update/state_files.h"
#include "update/update_state.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kDay = 24 * kHour;

class TrustTest : public TrustBed {
 protected:
  void SetUp() override { StartNginx(); }

  void Install(const std::string& name, int version) {
    Serve(name);
    ASSERT_TRUE(RunNormal());
    ExpectState(R(version), version, version);
  }

  void ExpectRefused(int statusSlot, int logSlot) {
    EXPECT_TRUE(LastStatusIs(statusSlot));
    EXPECT_TRUE(Logged(logSlot));
    EXPECT_EQ(FetchedSinceServe(), 0u) << "nothing is fetched after a refused statement";
  }
};

TEST_F(TrustTest, RollbackToAnOlderSignedReleaseIsRefused) {
  Install("3", 3);
  // Release 2's statement, lists and files, all genuinely signed.
  Serve("2");
  EXPECT_FALSE(RunNormal());
  ExpectRefused(MSG_RELEASE_NOT_TRUSTED, MSG_LOG_STATEMENT_ROLLBACK);
  ExpectState(R(3), 3, 3);
  // The full check refuses it the same way.
  EXPECT_FALSE(RunFull());
  ExpectState(R(3), 3, 3);
  ExpectRecovery("4", 4);
}

TEST_F(TrustTest, FrozenServerWithAnExpiredStatementIsRefused) {
  Install("1", 1);
  // Eight days later the server still announces release 1, whose
  // statement expired after seven.
  env_.clock.SetWallOffset(8 * kDay);
  Serve("1");
  EXPECT_FALSE(RunNormal());
  ExpectRefused(MSG_STATEMENT_EXPIRED, MSG_LOG_STATEMENT_EXPIRED);
  ExpectState(R(1), 1, 1);

  // The operator's cron job re-signs release 2's statement for 30 days.
  Serve("2");
  const ProcessResult refreshed = RunPublish({"refresh", Served().string(), "--release-key",
                                              TestReleaseKeyPath(1).string(), "--expires", "30d"});
  ASSERT_EQ(refreshed.status, 0) << refreshed.err;
  EXPECT_TRUE(RunNormal());
  ExpectState(R(2), 2, 2);
}

TEST_F(TrustTest, UnsignedVersionFarAheadLosesToTheSignedOne) {
  Install("1", 1);
  Serve("2");
  WriteFileBytes(Served("patcher/version"), "99\n");
  EXPECT_TRUE(RunNormal());
  EXPECT_TRUE(Logged(MSG_LOG_VERSION_DISAGREES));
  ExpectState(R(2), 2, 2);
  // Without a version file at all the statement still says where it stands.
  fs::remove(Served("patcher/version"));
  EXPECT_TRUE(RunNormal());
  ExpectState(R(2), 2, 2);
  ExpectRecovery("3", 3);
}

TEST_F(TrustTest, ListsFromAnotherReleaseAreRefused) {
  Install("1", 1);
  // Release 2's statement with release 3's lists: each list is genuinely
  // signed, but not the one the statement names.
  Serve("2");
  for (const char* list : {"patcher/files.md5", "patcher/v-1.inc"}) {
    fs::copy_file(repo_->Tree("3") / list, Served(list), fs::copy_options::overwrite_existing);
  }
  EXPECT_FALSE(RunNormal());
  EXPECT_TRUE(Logged(MSG_LOG_FILE_NOT_BOUND));
  ExpectState(R(1), 1, 2);
  EXPECT_FALSE(RunFull());
  EXPECT_EQ(FetchedSinceServe(), 0u);
  ExpectState(R(1), 1, 2);
  ExpectRecovery("2", 2);
}

TEST_F(TrustTest, ReplayedOlderIncrementalListIsRefused) {
  Install("2", 2);
  // Release 3 is out, but v-1.inc is replayed from release 2: the list that
  // led from 1 to 2, signed, under the name a client at 2 asks for.
  Serve("3");
  fs::copy_file(repo_->Tree("2") / "patcher/v-1.inc", Served("patcher/v-1.inc"),
                fs::copy_options::overwrite_existing);
  RunNormal();
  EXPECT_TRUE(Logged(MSG_LOG_FILE_NOT_BOUND));
  // Never release 2's files under version 3: the refused list is of no use,
  // and the update goes on from the full list to release 3. Like any update
  // from the full list it leaves c.txt, which release 3 dropped.
  Release reached = R(3);
  reached["c.txt"] = R(2).at("c.txt");
  ExpectState(reached, 3, 3);
}

TEST_F(TrustTest, StatementForAnotherProductIsRefused) {
  // A genuine statement of product 2, served where product 1 is expected.
  Serve("2-pid2");
  WriteFileBytes(Served("info/pid"), "1\n");
  EXPECT_FALSE(RunNormal());
  ExpectRefused(MSG_RELEASE_NOT_TRUSTED, MSG_LOG_STATEMENT_REFUSED);
  ExpectState({}, 0, 0);
  ExpectRecovery("2", 2);
}

TEST_F(TrustTest, TamperedForeignOrMissingStatementsAreRefused) {
  Install("1", 1);
  const auto refused = [&](const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_FALSE(RunNormal());
    ExpectRefused(MSG_RELEASE_NOT_TRUSTED, MSG_LOG_STATEMENT_REFUSED);
    ExpectState(R(1), 1, 1);
  };
  Serve("2");
  std::string statement = ReadFileBytes(Served("patcher/statement"));
  statement[statement.find("file ") + 5] ^= 1;  // one size digit
  WriteFileBytes(Served("patcher/statement"), statement);
  refused("one byte changed");
  Serve("3-next");
  refused("signed by a key the launcher does not hold");
  Serve("2");
  fs::remove(Served("patcher/statement"));
  refused("no statement");
  ExpectRecovery("2", 2);
}

TEST_F(TrustTest, KeysRotateFromTheCurrentKeyToTheNext) {
  Install("1", 1);
  // Statements signed by both keys while launchers with the next key ship.
  Install("2-both", 2);
  UseKeys({1, 2});
  Install("3-next", 3);
  // A launcher that still holds only the retired key cannot follow: the
  // reason to sign with both until every player has the next one.
  UseKeys({1});
  Serve("4-next");
  EXPECT_FALSE(RunNormal());
  ExpectState(R(3), 3, 3);
  // Once the old key is retired, a statement signed by it alone is refused.
  UseKeys({2});
  Serve("4");
  EXPECT_FALSE(RunNormal());
  ExpectRefused(MSG_RELEASE_NOT_TRUSTED, MSG_LOG_STATEMENT_REFUSED);
  ExpectState(R(3), 3, 3);
  ExpectRecovery("4-next", 4);
}

TEST_F(TrustTest, ClockAnHourOffIsAcceptedAndExpiryAllowsAFewMinutes) {
  env_.clock.SetWallOffset(kHour);
  Install("1", 1);
  // An hour slow: the statement looks signed an hour from now.
  env_.clock.SetWallOffset(-kHour);
  Install("2", 2);
  // A statement that expires an hour after it was built: taken a few
  // minutes past that, refused some minutes later.
  Serve("2-hour");
  env_.clock.SetWallOffset(kHour + 3 * 60);
  EXPECT_TRUE(RunNormal());
  env_.clock.SetWallOffset(kHour + 8 * 60);
  EXPECT_FALSE(RunNormal());
  ExpectRefused(MSG_STATEMENT_EXPIRED, MSG_LOG_STATEMENT_EXPIRED);
  ExpectState(R(2), 2, 2);
  env_.clock.SetWallOffset(0);
  ExpectRecovery("3", 3);
}

}  // namespace
}  // namespace launcher::testing
