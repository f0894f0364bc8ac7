// The Windows engine end to end: launcher-headless.exe of the windows build
// under Wine against nginx, the fault server and a counting relay on Linux
// loopback, with the Linux engine run on the same trees as its reference.
// The player's journey (a first installation by the full list, an
// incremental update killed a third of the way into a large file, its
// resume moving only the rest, all from the mirror of a server that is
// down), a tampered list and a tampered file, and
// hostile list paths, some of which only Windows' own name clean-up makes
// hostile.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "files/string_table.h"
#include "integration/servers/launcher_run.h"
#include "support/headless_program.h"
#include "support/nginx_server.h"
#include "support/signed_repo.h"
#include "support/tcp_relay.h"
#include "torture/torture_bed.h"
#include "update/list_path.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;

// The lines of one run of the update log: from its `n`-th separator
// (counted from 0; -1 for the last) to the next.
std::vector<std::string> Session(const std::vector<std::string>& log, int n) {
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (log[i].rfind("=====", 0) == 0) starts.push_back(i);
  }
  if (starts.empty()) return {};
  const std::size_t k = n < 0 ? starts.size() - 1 : static_cast<std::size_t>(n);
  if (k >= starts.size()) return {};
  const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : log.size();
  return {log.begin() + static_cast<std::ptrdiff_t>(starts[k]),
          log.begin() + static_cast<std::ptrdiff_t>(end)};
}

// Which small files a killed run had staged ahead is a matter of timing:
// the next run logs those as already fetched (slot 31) and the others as
// fetched (slot 33). The same either way. The tree publishes no patches,
// and the next run learns so (and logs it) at the first file that was not
// staged, if there is one: where that line falls is timing too.
std::vector<std::string> StagedAsFetched(std::vector<std::string> session) {
  const std::string noIndex = "S" + std::to_string(MSG_LOG_NO_PATCH_INDEX);
  std::erase(session, noIndex);
  for (std::string& line : session) {
    if (line.rfind("S31./pack/", 0) == 0) line.replace(0, 3, "S33");
  }
  return session;
}

TEST(WineEngineTest, JourneyWithKillAndResumeMatchesTheLinuxEngine) {
  const HeadlessProgram windows = HeadlessProgram::Windows();
  ASSERT_TRUE(windows.ok());
  JourneyTrees trees;
  NginxServer nginx(trees.Root());
  TcpRelay::Options slow;
  slow.rate = kJourneyRate;
  TcpRelay relay(nginx.port(), slow);

  // The selected server refuses connections: every run moves to its mirror.
  JourneyExpect homeDown;
  homeDown.homeDown = true;
  LauncherRun onWine(windows);
  InstallThenResumeUpdate(onWine, relay, homeDown);
  if (HasFatalFailure()) return;
  // The first and the last run handed over to the patcher, the killed one not.
  EXPECT_EQ(onWine.PatcherStarts(), (std::vector<std::string>(2, "/update"))) << onWine.Output();

  LauncherRun onLinux;
  InstallThenResumeUpdate(onLinux, relay, homeDown);
  const auto wineLog = onWine.LogLines();
  const auto linuxLog = onLinux.LogLines();
  const std::string moved = "S" + std::to_string(MSG_LOG_SERVER_FAILED) + "test (";
  EXPECT_EQ(std::count_if(wineLog.begin(), wineLog.end(),
                          [&](const std::string& line) { return line.rfind(moved, 0) == 0; }),
            3)
      << "one move to the mirror in each run";
  EXPECT_EQ(Session(wineLog, 0), Session(linuxLog, 0)) << "the first installation";
  EXPECT_EQ(StagedAsFetched(Session(wineLog, -1)), StagedAsFetched(Session(linuxLog, -1)))
      << "the resumed update";
  EXPECT_EQ(onWine.Installed(), onLinux.Installed());
}

// The torture bed's installation run by whole processes: old_ installed,
// new_ offered by the full list, the string table naming its slots.
class WineTortureTest : public TortureBed {
 protected:
  void SetUp() override {
    ASSERT_TRUE(windows_.ok());
    Install(old_);
    WriteNumberedStringTable(root() / "launcher" / "stringtab.txt");
    WriteUtf16Lines(env_.Config("update.cfg"), {"UpdateServerSelect test"});
    content_ = FullListContent(new_);
  }
  void UseServer(const std::string& baseUrl) {
    WriteUtf16Lines(env_.Patcher("server/updateserver.txt"), {"\"test\" \"" + baseUrl + "\""});
    patcher_ = PatcherState();
    rest_ = RestState();
  }

  struct Outcome {
    int status = -1;
    std::vector<std::string> display;  // the status and detail lines
    std::vector<std::string> log;      // this run's update log
  };
  // One run of `program` (with "FullCheck" when `fullCheck`).
  Outcome RunWith(const HeadlessProgram& program, bool fullCheck) {
    std::error_code ec;
    fs::remove(env_.Config("update.log"), ec);
    const fs::path out = outDir_ / "out.txt";
    fs::remove(out, ec);
    program.InstallPatcher(env_.Patcher("patcher.exe"));
    Outcome outcome;
    outcome.status = program.Run(
        root() / "launcher",
        fullCheck ? std::vector<std::string>{"FullCheck"} : std::vector<std::string>{}, out);
    fs::remove(env_.Patcher("patcher.exe"), ec);
    for (const std::string& line : TextLines(ReadFileBytes(out))) {
      if (line.rfind("status: ", 0) == 0 || line.rfind("detail: ", 0) == 0)
        outcome.display.push_back(line);
    }
    outcome.log = UpdateLogLines(env_.Config("update.log"));
    return outcome;
  }
  static bool Shows(const Outcome& o, int slot) {
    return std::count(o.display.begin(), o.display.end(), "status: S" + std::to_string(slot)) > 0;
  }
  // The run refused its list before fetching a file and left everything as
  // it was.
  void ExpectRefusedWithNothingChanged(const Outcome& o, bool fullCheck) {
    EXPECT_EQ(o.status, 0);
    EXPECT_TRUE(Shows(o, MSG_LIST_UNUSABLE)) << ::testing::PrintToString(o.display);
    EXPECT_TRUE(Shows(o, fullCheck ? MSG_FULL_CHECK_FAILED : MSG_UPDATE_FAILED));
    EXPECT_EQ(FileRequestCount(), 0u) << "a refused list is never read";
    ExpectPatcherUnchanged(patcher_);
    ExpectNothingStray(rest_);
  }

  const HeadlessProgram windows_ = HeadlessProgram::Windows();
  const HeadlessProgram linux_ = HeadlessProgram::Linux();
  const Release old_ = {{"main.exe", "old main"}, {"data/a.pak", "old a"}, {"victim.txt", "keep"}};
  const Release new_ = {{"main.exe", "new main"},
                        {"data/a.pak", NoiseBytes(4000, 3)},
                        {"victim.txt", "keep"},
                        {"b.ini", "b"}};
  std::string content_;
  TempDir outDir_;
  TreeState patcher_;
  TreeState rest_;
};

// A list changed after signing is refused before any fetch, and a served
// file altered at the same size is fetched twice and never installed; the
// fault server serves the tree and counts the requests.
TEST_F(WineTortureTest, TamperedListAndFileAreRefusedAsOnLinux) {
  StartFaultServer("{}");
  UseServer(fault_->BaseUrl());
  std::string flipped = ServerTree::Sign(content_);
  flipped[5] = flipped[5] == 'a' ? 'b' : 'a';
  ServeFullList(flipped);
  const Outcome wine = RunWith(windows_, true);
  ExpectRefusedWithNothingChanged(wine, true);
  EXPECT_FALSE(fs::exists(env_.Config("version.sw")));
  const Outcome linux = RunWith(linux_, true);
  EXPECT_EQ(wine.display, linux.display);
  EXPECT_EQ(wine.log, linux.log);

  ServeFullList(ServerTree::Sign(content_));
  const fs::path served =
      tree_.root() / "patcher" / "patcher" / EncodeListPath("data/a.pak").substr(2);
  std::string bytes = ReadFileBytes(served);
  bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x20);
  WriteFileBytes(served, bytes);
  const Outcome altered = RunWith(windows_, true);
  EXPECT_TRUE(Shows(altered, MSG_FULL_CHECK_FAILED)) << ::testing::PrintToString(altered.display);
  ExpectPatcherUnchanged(patcher_);
  EXPECT_FALSE(fs::exists(env_.Config("version.sw")));
  ExpectNothingStray(rest_);
}

// Hostile list paths refuse the whole list, on the full check and on the
// incremental update, whose list also deletes an installed file. A "..."
// component is a plain name on Linux, but Windows' name clean-up turns it
// into ".." (a final dot of a name is dropped): only the Windows engine
// must refuse it.
TEST_F(WineTortureTest, HostilePathsAreRefusedAndNothingInstalledIsLost) {
  StartNginx();
  UseServer(nginx_->BaseUrl());
  const std::string outside = EncodeListName("outside");
  const std::string precious = EncodeListName("precious.txt");
  struct Case {
    const char* what;
    std::string token;
    bool hostileOnLinux;
  };
  const Case cases[] = {
      {"parent", "/" + EncodeListName("..") + "/" + outside + "/" + precious, true},
      {"escape in backslashes", "/" + EncodeListName("..\\outside\\precious.txt"), true},
      {"three dots", "/" + EncodeListName("...") + "/" + outside + "/" + precious, false},
  };
  const std::string good = FullListLine(tree_.AddFile("main.exe", "new main"), "main.exe");
  const std::string digest = tree_.AddFile("x.bin", "hostile");
  const std::string victim = "- /" + EncodeListName("victim.txt") + "\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The harmless entry comes first: refusing must happen before any work.
    ServeFullList(ServerTree::Sign(good + digest + " " + c.token + "\n"));
    ExpectRefusedWithNothingChanged(RunWith(windows_, true), true);

    WriteFileBytes(env_.Config("version.sw"), "1\r\n");
    fs::remove(env_.Config("inc.sw"));
    tree_.WriteSignedList(1, "+" + good + "+" + digest + " " + c.token + "\n" + victim);
    ExpectRefusedWithNothingChanged(RunWith(windows_, false), false);
    EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "1\r\n");

    if (c.hostileOnLinux) {
      ExpectRefusedWithNothingChanged(RunWith(linux_, false), false);
    }
    fs::remove(env_.Config("version.sw"));
  }
}

// The release statement on the Windows engine: the program holding the
// test release key under Wine, beside the Linux one, against trees the
// publisher signed. A first installation, an older release refused, an
// honest newer one installed: the same status lines, log and files, and the
// same trusted version, on both.
TEST(WineTrustTest, RollbackIsRefusedAndAnHonestReleaseInstalledAsOnLinux) {
  const HeadlessProgram windows = HeadlessProgram::Windows("launcher-headless-signed");
  ASSERT_TRUE(windows.ok());
  const Release r1 = {{"a.txt", "one"}, {"data/b.bin", NoiseBytes(30000, 1)}};
  Release r2 = r1;
  r2["data/b.bin"] = NoiseBytes(30000, 2);
  r2["c.txt"] = "two";
  Release r3 = r2;
  r3["a.txt"] = "three";
  SignedRepo repo;
  repo.Publish(1, r1, "1");
  repo.Publish(2, r2, "2");
  repo.Publish(3, r3, "3");
  TempDir served;
  NginxServer nginx(served.path());

  struct Step {
    const char* tree;
    const Release* installed;
    const char* trusted;
  };
  const Step steps[] = {{"2", &r2, "2\r\n"}, {"1", &r2, "2\r\n"}, {"3", &r3, "3\r\n"}};
  std::vector<std::vector<std::string>> logs[2];
  LauncherRun onWine(windows);
  LauncherRun onLinux(HeadlessProgram::Linux("launcher-headless-signed"));
  LauncherRun* runs[2] = {&onWine, &onLinux};
  for (int side = 0; side < 2; ++side) {
    LauncherRun& run = *runs[side];
    run.UseServer(nginx.BaseUrl());
    for (const Step& step : steps) {
      SCOPED_TRACE(std::string(side == 0 ? "Wine" : "Linux") + ", tree " + step.tree);
      repo.Serve(step.tree, served.path());
      ASSERT_EQ(run.Run(false), 0) << run.Output();
      EXPECT_EQ(run.Installed(), *step.installed);
      EXPECT_EQ(run.ConfigFile("trusted.sw"), step.trusted);
      logs[side].push_back(run.LogLines());
    }
    EXPECT_NE(run.Output().find("status: S" + std::to_string(MSG_RELEASE_NOT_TRUSTED)),
              std::string::npos);
  }
  EXPECT_EQ(logs[0], logs[1]);
}

}  // namespace
}  // namespace launcher::testing
