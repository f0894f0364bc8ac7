// What the normal path and the full check show, log and leave on disk when
// the server's answers are missing or do not fit the installation.
#include <gtest/gtest.h>

#include <algorithm>

#include "files/string_table.h"
#include "integration/engine/engine_fixture.h"
#include "update/full_check.h"
#include "update/normal_update.h"
#include "update/update_state.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::EngineFixture;
using testing::ReadFileBytes;
using testing::Release;
using testing::WriteFileBytes;

class ServerFailuresTest : public EngineFixture {
 protected:
  void SetUp() override {
    Publish(3, {{"a.txt", "a3"}});
    Install({{"a.txt", "a2"}});
    WriteFileBytes(env_.Config("version.sw"), "2\r\n");
    WriteFileBytes(env_.Config("FullList.sw"), "an old list");
  }
  void ServePid(const std::string& content) { WriteFileBytes(served_ / "info" / "pid", content); }
  std::vector<std::string> Texts(const std::vector<std::u16string>& texts) const {
    std::vector<std::string> out;
    for (const auto& t : texts) out.push_back(testing::Narrow(t));
    return out;
  }
  using Strings = std::vector<std::string>;
};

TEST_F(ServerFailuresTest, ProductIdProblemsStopBothPathsBeforeAnyVersionFetch) {
  struct Case {
    const char* name;
    std::string pid;  // served; empty: no server at all
    int slot;
  };
  const Case cases[] = {{"unreachable", "", MSG_SERVER_INFO_MISSING},
                        {"zero", "0\n", MSG_SERVER_INFO_INVALID},
                        {"not a number", "abc\n", MSG_SERVER_INFO_INVALID},
                        {"mismatch", "2\n", MSG_PID_MISMATCH}};
  for (const Case& c : cases) {
    for (bool fullCheck : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (fullCheck ? " / full check" : " / normal"));
      if (c.pid.empty()) {
        UseUnreachableServer();
      } else {
        ServePid(c.pid);
        StartServer();
      }
      // Left by an earlier run that ended between fetch and delete: never
      // taken for the server's answer.
      WriteFileBytes(env_.root() / "config" / "pid.sw", "1\n");
      const std::size_t requestsBefore = Requests().size();
      const Release configBefore = ConfigFiles();
      NewRun();
      env_.display.SetDetailText(u"kept");
      fs::remove(env_.Config("update.log"));

      if (fullCheck) {
        RunFullCheck(0);
      } else {
        RunNormalUpdate();
      }

      const int start = fullCheck ? MSG_FULL_CHECK_START : MSG_UPDATE_START;
      const std::string failure = testing::Narrow(Msg(c.slot));
      EXPECT_EQ(Texts(Statuses()), (Strings{testing::Narrow(Msg(start)), failure}));
      EXPECT_EQ(Log(), (Strings{testing::Narrow(Msg(start)), failure}));
      EXPECT_EQ(Details(), std::vector<std::u16string>{u"kept"});  // detail line unchanged
      EXPECT_TRUE(FileBars().empty());
      EXPECT_EQ(Totals(), fullCheck ? std::vector<int>{0} : std::vector<int>{});
      Release configAfter = ConfigFiles();
      Release expectedConfig = configBefore;
      expectedConfig.erase("pid.sw");
      EXPECT_EQ(configAfter, expectedConfig);
      if (!c.pid.empty()) {
        EXPECT_EQ(Requests().size(), requestsBefore + 1);  // only the product id
      }
      EXPECT_EQ(Installed(), (Release{{"a.txt", "a2"}}));
    }
  }
}

TEST_F(ServerFailuresTest, MissingOrZeroServerVersion) {
  for (const char* served : {"", "0\n", "garbage\n"}) {
    SCOPED_TRACE(std::string("version file: '") + served + "'");
    if (*served == '\0') {
      fs::remove(served_ / "patcher" / "version");
    } else {
      WriteFileBytes(served_ / "patcher" / "version", served);
    }
    StartServer();
    WriteFileBytes(env_.Config("newver.sw"), "9\n");  // stale: must not count
    WriteFileBytes(env_.Config("Listver.sw"), "2\r\n");

    // Normal path: reported, then the completion step.
    NewRun();
    fs::remove(env_.Config("update.log"));
    RunNormalUpdate();
    EXPECT_EQ(Statuses(),
              (std::vector<std::u16string>{Msg(MSG_UPDATE_START), Msg(MSG_SERVER_INFO_INVALID)}));
    EXPECT_EQ(Log(), (Strings{"S37 ", "S25 "}));
    EXPECT_EQ(Details(), std::vector<std::u16string>{u""});
    EXPECT_EQ(Totals(), std::vector<int>{100});
    EXPECT_EQ(FileBars(), std::vector<int>{100});
    EXPECT_EQ(ServerVersion, 0);
    EXPECT_FALSE(fs::exists(env_.Config("newver.sw")));
    EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "2\r\n");  // only read

    // Full check: reported, detail cleared, no list fetched, Listver.sw kept.
    WriteFileBytes(env_.Config("newver.sw"), "9\n");
    NewRun();
    fs::remove(env_.Config("update.log"));
    const std::size_t before = Requests().size();
    RunFullCheck(0);
    EXPECT_EQ(Statuses(), (std::vector<std::u16string>{Msg(MSG_FULL_CHECK_START),
                                                       Msg(MSG_SERVER_INFO_INVALID)}));
    EXPECT_EQ(Log(), (Strings{"S24 ", "S25 "}));
    EXPECT_EQ(Details(), std::vector<std::u16string>{u""});
    EXPECT_EQ(Requests().size(), before + 2);  // product id and version only
    EXPECT_EQ(ReadFileBytes(env_.Config("Listver.sw")), "2\r\n");
    EXPECT_EQ(ReadFileBytes(env_.Config("FullList.sw")), "an old list");
  }
}

// The list for the client's distance is missing (pruned by hand, a partial
// upload) or does not verify: the run goes on from the full list at once and
// says why, instead of failing now and on every later run.
TEST_F(ServerFailuresTest, MissingOrBrokenIncrementalListFallsBackToTheFullList) {
  StartServer();
  const fs::path list = served_ / "patcher" / "v-1.inc";
  for (const bool missing : {true, false}) {
    SCOPED_TRACE(missing ? "missing" : "broken");
    if (missing) {
      fs::remove(list);
    } else {
      WriteFileBytes(list, "+00000000000000000000000000000000 /YS50eHQ=\n");
    }
    Install({{"a.txt", "a2"}});
    WriteFileBytes(env_.Config("version.sw"), "2\r\n");
    NewRun();
    RunNormalUpdate();
    EXPECT_EQ(Statuses().back(), Msg(MSG_UPDATE_DONE));
    EXPECT_EQ(Installed(), (Release{{"a.txt", "a3"}}));
    EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "3\r\n");
    const auto log = Log();
    EXPECT_NE(std::find(log.begin(), log.end(), "S47 v-1.inc"), log.end());
    EXPECT_FALSE(fs::exists(env_.Config("inc.sw")));
  }
}

TEST_F(ServerFailuresTest, UntrustedLocalVersionLeadsToTheFullCheck) {
  StartServer();
  // No number, 0, below 1, and a server behind the installation.
  for (const char* local : {"", "junk\r\n", "0\r\n", "-4\r\n", "9\r\n"}) {
    SCOPED_TRACE(std::string("version.sw: '") + local + "'");
    Install({{"a.txt", "a2"}});
    if (*local == '\0') {
      fs::remove(env_.Config("version.sw"));
    } else {
      WriteFileBytes(env_.Config("version.sw"), local);
    }
    NewRun();
    EXPECT_EQ(ChooseUpdateKind(), UpdateKind::FullCheckNeeded);
    EXPECT_EQ(ServerVersion, 3);

    NewRun();
    RunNormalUpdate();
    const auto statuses = Statuses();
    ASSERT_GE(statuses.size(), 3u);
    EXPECT_EQ(statuses[1], Msg(MSG_FULL_CHECK_NEEDED));
    EXPECT_EQ(Details().front(), Msg(MSG_FULL_CHECK_NEEDED_DETAIL));
    EXPECT_EQ(statuses.back(), Msg(MSG_FULL_CHECK_DONE));
    EXPECT_EQ(Totals().back(), 100);
    EXPECT_EQ(FileBars().back(), 100);
    EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "3\r\n");
    EXPECT_EQ(Installed(), (Release{{"a.txt", "a3"}}));
    // The full-check-needed outcome itself is not logged.
    for (const auto& line : Log()) EXPECT_NE(line, "S38 ");
  }
}

TEST_F(ServerFailuresTest, FullListFetchFailingAfterTheVersionFetch) {
  fs::remove(served_ / "patcher" / "files.md5");
  StartServer();
  NewRun();
  RunFullCheck(0);
  EXPECT_FALSE(fs::exists(env_.Config("FullList.sw")));
  EXPECT_EQ(ReadFileBytes(env_.Config("Listver.sw")), "3\r\n");
  EXPECT_EQ(Statuses().back(), Msg(MSG_FULL_CHECK_FAILED));
  EXPECT_EQ(Log().back(), "S29 ");
  EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "2\r\n");
  EXPECT_EQ(Installed(), (Release{{"a.txt", "a2"}}));
}

TEST_F(ServerFailuresTest, MissingConfigDirectoryIsCreatedBeforeTheProductIdFetch) {
  StartServer();
  fs::remove_all(env_.root() / "config");
  for (bool fullCheck : {false, true}) {
    NewRun();
    if (fullCheck) {
      RunFullCheck(0);
    } else {
      RunNormalUpdate();  // no version.sw either: the full check follows
    }
    EXPECT_EQ(Statuses().back(), Msg(MSG_FULL_CHECK_DONE));
    EXPECT_EQ(Installed(), (Release{{"a.txt", "a3"}}));
    EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "3\r\n");
    Install({{"a.txt", "a2"}});
    fs::remove_all(env_.root() / "config");
  }
}

}  // namespace
}  // namespace launcher
