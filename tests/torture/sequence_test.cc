// Sequences of runs. Each fault of this kind needs several releases, runs
// killed at chosen moments and changes made from outside between them; a
// test of one run at a time never meets it. From a seed, each sequence
// generates:
// - releases published with launcher-publish: files added, changed,
//   deleted, put back to an older content, a file that becomes a directory
//   and back, empty files, a file over 1 MiB, deep paths; the publisher
//   sometimes prunes old releases first;
// - runs of the real launcher (launcher-headless in simulated time, against
//   nginx, now and then through a server that announces a terabyte for one
//   file and cuts it short), normal or FullCheck, each killed with SIGKILL
//   at a display line the seed chooses, or left to finish;
// - between runs: an installed file deleted or edited, version.sw lost, a
//   staged copy of another release left in temp/, a symbolic link planted
//   in place of a state file.
// After every run:
//   1. every installed file holds a content its path had in some release,
//      or what the test itself wrote there: nothing half written or foreign;
//   2. after a run that reports success, every file of the server's release
//      is in place byte for byte and version.sw names the release;
//   3. nothing outside the installation changed (a link's target keeps its
//      content and mode), and a run that is not killed ends in time.
// At the end of each sequence, two runs that are not killed bring the
// installation to the server's release.
//
// Every sequence prints its seed; SEQUENCE_SEED=<seed> replays that one
// (a kill falls at the same display line; within a transfer, at the same
// progress line). TORTURE_ROUNDS multiplies the number of sequences.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <random>
#include <set>
#include <string>

#include "support/headless_program.h"
#include "support/publish_fixture.h"
#include "torture/headless_run.h"
#include "torture/sequence_releases.h"
#include "torture/torture_bed.h"
#include "update/list_path.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::Pick;
using testing::ReadFileBytes;
using testing::Release;
using testing::WriteFileBytes;
using testing::WriteUtf16Lines;

// About a minute on two cores; SEQUENCE_COUNT overrides (the sanitizer
// builds run fewer), TORTURE_ROUNDS multiplies.
constexpr int kSequences = 48;
constexpr int kStepsPerSequence = 14;
constexpr int kRunTimeoutMs = 60000;
const char* const kStateFiles[] = {"ustate.sw",  "inc.sw",       "newver.sw",
                                   "version.sw", "tempfile.dat", "verified.sw"};

class SequenceTest : public testing::TortureBed {
 protected:
  void SetUp() override {
    nginx_ = std::make_unique<testing::NginxServer>(tree_.root());
    // Without the lower line's figures the display lines a freeze counts
    // are the same in every replay.
    testing::WriteNumberedStringTable(root() / "launcher" / "stringtab.txt");
    WriteUtf16Lines(env_.Config("update.cfg"), {"UpdateServerSelect local"});
    fs::create_directories(root() / "locks");
    fs::permissions(root() / "locks", fs::perms::owner_all, fs::perm_options::replace);
    ::setenv("XDG_RUNTIME_DIR", (root() / "locks").c_str(), 1);
  }

  // The server the next run asks.
  void UseServer(const std::string& baseUrl) {
    WriteUtf16Lines(env_.Patcher("server/updateserver.txt"), {"\"local\" \"" + baseUrl + "\""});
  }

  // Starts one sequence from nothing: no installation, no served tree.
  void Reset() {
    for (const fs::path& dir : {root() / "releases", env_.Patcher(), root() / "config"}) {
      fs::remove_all(dir);
    }
    Install({});
    fs::create_directories(env_.Config());
    WriteUtf16Lines(env_.Config("update.cfg"), {"UpdateServerSelect local"});
    UseServer(nginx_->BaseUrl());
    history_ = testing::ReleaseHistory();
    planted_.clear();
    fs::permissions(Outside("precious.txt"), fs::perms::owner_read, fs::perm_options::replace);
    outside_ = testing::SnapshotTree(Outside());
  }

  void Publish(std::mt19937& rng) {
    const int version = history_.Add(rng);
    testing::WriteRelease(root() / "releases", version, history_.At(version));
    // The operator prunes old releases now and then.
    if (version > 2 && Pick(rng, 3) == 0) {
      const int keep = 1 + static_cast<int>(Pick(rng, 2));
      for (int v = 1; v <= version - keep; ++v)
        fs::remove_all(root() / "releases" / std::to_string(v));
    }
    testing::BuildTestServerTree(root() / "releases", tree_.root());
    Note("publish " + std::to_string(version));
  }

  // The version version.sw holds, 0 when it holds none.
  int InstalledVersion() const {
    const std::string text = ReadFileBytes(env_.Config("version.sw"));
    return std::atoi(text.c_str());
  }

  struct RunResult {
    bool killed = false;
    bool ended = true;
    std::string lastStatus;
  };

  RunResult RunLauncher(bool fullCheck, long freezeAfter, long fileLines) {
    std::vector<std::string> env = {"LAUNCHER_HEADLESS_SIMULATED_TIME=1"};
    if (freezeAfter > 0) {
      env.push_back("LAUNCHER_HEADLESS_FREEZE_AFTER=" + std::to_string(freezeAfter) + "," +
                    std::to_string(fileLines));
    }
    testing::HeadlessRun run(
        root() / "launcher",
        fullCheck ? std::vector<std::string>{"FullCheck"} : std::vector<std::string>{}, env);
    RunResult result;
    if (freezeAfter > 0 && run.WaitForLine("frozen", kRunTimeoutMs)) {
      run.Kill();
      result.killed = true;
    } else {
      result.ended = run.WaitExit(kRunTimeoutMs);
    }
    for (const std::string& line : run.lines()) {
      if (line.rfind("status: ", 0) == 0) result.lastStatus = line.substr(8);
    }
    return result;
  }

  void Note(const std::string& what) { trail_ += what + "; "; }

  // Requests for patches the server has answered so far.
  std::size_t PatchRequests() const {
    std::size_t count = 0;
    for (const auto& line : testing::SettledAccessLog(*nginx_)) {
      if (line.rfind("GET /patcher/delta/", 0) == 0) ++count;
    }
    return count;
  }

  // Invariants 1 to 3 after a run.
  void Check(const RunResult& run, bool mustConverge) {
    SCOPED_TRACE(trail_);
    ASSERT_TRUE(run.ended) << "a run that was not killed did not end: stuck";
    for (const auto& [path, content] : Installed()) {
      const bool known = history_.HadContent(path, content) || planted_[path].count(content) != 0;
      ASSERT_TRUE(known) << path << " holds bytes of no release (" << content.size() << " bytes)";
    }
    const bool success = run.lastStatus == "S41" || run.lastStatus == "S30";
    if ((!run.killed && success) || mustConverge) {
      ASSERT_TRUE(success) << "the run ended with " << run.lastStatus;
      ASSERT_EQ(InstalledVersion(), history_.newest()) << "version.sw after success";
      const Release installed = Installed();
      for (const auto& [path, content] : history_.At(history_.newest())) {
        auto it = installed.find(path);
        ASSERT_TRUE(it != installed.end()) << path << " missing after a run that reported success";
        ASSERT_TRUE(it->second == content) << path << " is not the release's after success";
      }
    }
    ASSERT_EQ(testing::DescribeTreeDifference(outside_, testing::SnapshotTree(Outside())), "")
        << "outside the installation";
  }

  // The relative paths of the copies in temp/.
  std::vector<std::string> StagedCopies() const {
    std::vector<std::string> paths;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(env_.Config("temp"), ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_regular_file())
        paths.push_back(fs::relative(it->path(), env_.Config("temp")).string());
    }
    return paths;
  }

  // A change from outside between runs. Installed files are damaged only
  // where a pending update names them (any file when version.sw says
  // nothing, which sends the next run to the full check): the normal path
  // trusts version.sw for the rest, as designed.
  void ChangeFromOutside(std::mt19937& rng) {
    const std::vector<std::string> pending = history_.ChangedSince(InstalledVersion());
    switch (Pick(rng, 5)) {
      case 0:
      case 1: {
        if (pending.empty()) return;
        const std::string& path = pending[Pick(rng, pending.size())];
        if (!fs::is_regular_file(fs::symlink_status(env_.Patcher(path)))) return;
        if (Pick(rng, 2) == 0) {
          fs::remove(env_.Patcher(path));
          Note("deleted " + path);
        } else if (history_.At(history_.newest()).count(path)) {
          const std::string edited = "edited by the player " + std::to_string(Pick(rng, 1000));
          WriteFileBytes(env_.Patcher(path), edited);
          planted_[path].insert(edited);
          Note("edited " + path);
        }
        return;
      }
      case 2:
        fs::remove(env_.Config("version.sw"));
        Note("version.sw lost");
        return;
      case 3: {
        // Mostly in place of a copy a killed run staged, or where the
        // pending update stages one: as an older list would have.
        std::vector<std::string> candidates = StagedCopies();
        if (candidates.empty() || Pick(rng, 2) == 0) candidates = pending;
        if (candidates.empty() || Pick(rng, 5) == 0) candidates = history_.ChangedSince(0);
        const std::string path = candidates[Pick(rng, candidates.size())];
        const std::string content = history_.OlderContent(path, rng);
        std::error_code ec;
        fs::remove_all(env_.Config("temp/" + path), ec);
        WriteFileBytes(env_.Config("temp/" + path), content);
        Note("staged copy left at " + path);
        return;
      }
      default: {
        const char* state = kStateFiles[Pick(rng, std::size(kStateFiles))];
        fs::remove(env_.Config(state));
        fs::create_symlink(Outside("precious.txt"), env_.Config(state));
        Note(std::string("link planted at ") + state);
        return;
      }
    }
  }

  // One run through a server that announces a terabyte for a file the
  // pending update needs, and cuts it short.
  RunResult HostileRun(std::mt19937& rng) {
    const std::vector<std::string> pending = history_.ChangedSince(InstalledVersion());
    const Release& newest = history_.At(history_.newest());
    std::vector<std::string> targets;
    for (const std::string& path : pending) {
      if (newest.count(path) && newest.at(path).size() > 20000) targets.push_back(path);
    }
    if (targets.empty()) return {};
    const std::string path = targets[Pick(rng, targets.size())];
    const std::string encoded = EncodeListPath(path);
    const fs::path served = tree_.root() / "patcher" / "patcher" / encoded.substr(2);
    hostile_ = std::make_unique<testing::FaultServer>(
        R"({"routes": {"/patcher/patcher/)" + encoded + R"(": {"body_file": ")" + served.string() +
            R"(", "content_length": 1099511627776, "close_after": 9000}}})",
        tree_.root());
    UseServer(hostile_->BaseUrl());
    Note("hostile length for " + path);
    RunResult result = RunLauncher(false, 0, 0);
    UseServer(nginx_->BaseUrl());
    return result;
  }

  void RunSequence(unsigned seed) {
    std::mt19937 rng(seed);
    Reset();
    trail_ = "seed " + std::to_string(seed) + ": ";
    Publish(rng);
    if (Pick(rng, 2) == 0) {
      Install(history_.At(1));
      UseServer(nginx_->BaseUrl());
      WriteFileBytes(env_.Config("version.sw"), "1\r\n");
    }
    for (int step = 0; step < kStepsPerSequence && !HasFatalFailure(); ++step) {
      const unsigned what = Pick(rng, 20);
      if (what < 3) {
        Publish(rng);
      } else if (what < 9) {
        ChangeFromOutside(rng);
      } else if (what < 11) {
        Check(HostileRun(rng), false);
      } else {
        const bool fullCheck = Pick(rng, 5) == 0;
        const bool kill = Pick(rng, 3) != 0;
        const long freezeAfter = kill ? 1 + static_cast<long>(Pick(rng, 60)) : 0;
        const long fileLines = kill && Pick(rng, 3) == 0 ? 1 + static_cast<long>(Pick(rng, 3)) : 0;
        Note(std::string(fullCheck ? "full check" : "run") +
             (kill ? " killed at " + std::to_string(freezeAfter) + "," + std::to_string(fileLines)
                   : ""));
        Check(RunLauncher(fullCheck, freezeAfter, fileLines), false);
      }
    }
    // Whatever happened, two runs that are not killed reach the release.
    for (int last = 0; last < 2 && !HasFatalFailure(); ++last) {
      Note("clean run");
      const RunResult run = RunLauncher(false, 0, 0);
      if (last == 1 || run.lastStatus == "S41" || run.lastStatus == "S30") {
        Check(run, true);
        break;
      }
      Check(run, false);
    }
  }

  testing::ReleaseHistory history_;
  std::map<std::string, std::set<std::string>> planted_;  // contents the test wrote
  testing::TreeState outside_;
  std::unique_ptr<testing::FaultServer> hostile_;
  std::string trail_;
};

TEST_F(SequenceTest, KilledRunsReleasesAndOutsideChangesNeverLeaveAWrongOrStuckInstallation) {
  const char* replay = std::getenv("SEQUENCE_SEED");
  if (replay != nullptr) {
    RunSequence(static_cast<unsigned>(std::strtoul(replay, nullptr, 10)));
    return;
  }
  std::mt19937 seeds(testing::TortureSeed(20261210));
  const char* count = std::getenv("SEQUENCE_COUNT");
  const int sequences =
      (count != nullptr ? std::atoi(count) : kSequences) * testing::TortureRounds();
  for (int i = 0; i < sequences && !HasFatalFailure(); ++i) {
    const unsigned seed = static_cast<unsigned>(seeds());
    const std::size_t patchesBefore = PatchRequests();
    RunSequence(seed);
    std::printf("sequence %d of %d (%zu patch requests): %s\n", i + 1, sequences,
                PatchRequests() - patchesBefore, trail_.c_str());
    std::fflush(stdout);
  }
}

}  // namespace
}  // namespace launcher
