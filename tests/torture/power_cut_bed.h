// PowerCutBed: the ground of the power-cut sweep. Three releases of a small
// game (1 installed, 2 in between, 3 the newest) published by
// launcher-publish and served by nginx, and installations prepared in the
// states an update starts from. Each cut runs
// launcher-headless over a copy of such an installation on the test file
// system (support/power_cut_fs.h), cuts the power at a chosen flush, rename
// or change, kills the launcher, and then "reboots" each crash state the
// file system writes: the survivors in ../patcher/ must each be the old or
// the new content, version.sw may name release 3 only once all of it is in
// place, and the next run of the worker (in this process, on the plain
// directory, with simulated time) must finish the release byte for byte.
//
// The publisher is cut the same way while it builds into the served tree:
// what is served afterwards is wholly the old tree or wholly the new one, the
// launcher brings an installation to exactly that, and the next build
// completes.
//
// Not thread-safe; one per test. Skips the test where FUSE is missing.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/nginx_server.h"
#include "support/power_cut_fs.h"
#include "support/recording_display.h"
#include "support/release_server.h"
#include "support/temp_dir.h"

namespace launcher::testing {

// Where the power goes: as the n-th durability event (flush or rename)
// arrives, or as the n-th change of any kind arrives. Number 0: never.
struct CutPoint {
  bool atEvent = true;
  int number = 0;
  std::string Describe() const;
};

// What the crash states of one path came to.
struct Tally {
  int events = 0;   // flushes and renames of the run without a cut
  int changes = 0;  // its changes of any kind
  int cuts = 0;
  int checked[3] = {0, 0, 0};  // per model
  int lost = 0;
  std::vector<std::string> faults;  // the first few, described
  void Note(const std::string& fault);
};

class PowerCutBed : public ::testing::Test {
 protected:
  // An update the launcher starts from an installation in `root`.
  struct Scenario {
    std::string name;
    std::filesystem::path root;  // the installation before the run
    Release before;              // its ../patcher/ (without server/)
    int version = 0;             // what its version.sw names (0: none)
    bool fullCheck = false;
  };

  void SetUp() override;
  void TearDown() override;

  // An installation of `patcher` with version.sw holding `version` (none
  // for 0), pointed at the server (or at `baseUrl`).
  Scenario Prepare(const std::string& name, const Release& patcher, int version, bool fullCheck,
                   const std::string& baseUrl = {});
  // The incremental update from release 1, closed in the middle of a
  // transfer: inc.sw, ustate.sw, a partial tempfile.dat and staged files.
  // With `serverMovedOn` it was an update to release 2, and the server has
  // published release 3 since.
  Scenario PrepareInterrupted(bool serverMovedOn);

  // Runs the scenario on the test file system with the power cut at `cut`,
  // checks the state of model 1 and `moreStates` states of models 2 and 3
  // in turn, and returns the run's events and changes (all of them for an
  // uncut run).
  std::pair<int, int> CutLauncher(const Scenario& scenario, CutPoint cut, int moreStates,
                                  Tally& tally);
  // A served tree of release 1 alone, which the publisher then rebuilds
  // with release 2 (CutPublisher), and an installation of release 1 to run
  // against what is served after a cut.
  void PreparePublisher();
  std::pair<int, int> CutPublisher(CutPoint cut, int moreStates, Tally& tally);
  // Every event up to `events` (every `stride`-th one), then `randomCuts`
  // changes chosen at random, each cut checked in 1 + `moreStates` states.
  template <typename CutOnce>
  Tally Sweep(const std::string& name, CutOnce cutOnce, int stride, int randomCuts, int moreStates);

  // Mounts the test file system over a copy of the installation `from`
  // (at dir_/mnt), the cut armed.
  std::unique_ptr<PowerCutFs> MountCopy(const std::filesystem::path& from, CutPoint cut);
  // The worker as the launcher runs it, in this process on the installation
  // of `launcherDir`, with simulated time; `hook` sees every display call.
  void RunWorker(const std::filesystem::path& launcherDir, bool fullCheck,
                 const RecordingDisplay::Hook& hook = {});
  // A file progress event in the middle of a transfer.
  static bool InTransfer(const DisplayCall& call);

  static const Release& Old();
  static const Release& Between();
  static const Release& New();

  TempDir dir_;
  std::unique_ptr<NginxServer> nginx_;
  std::mt19937 rng_;

 private:
  // Writes the crash states of a cut and checks each with `reboot`, which
  // returns what went wrong (empty: nothing).
  void CheckCrashStates(const PowerCutFs& mounted, const std::string& cut, int moreStates,
                        Tally& tally,
                        const std::function<std::string(const std::filesystem::path&)>& reboot);
  // The invariants on a crash state of the scenario, then the next run.
  std::string RebootLauncher(const std::filesystem::path& crash, const Scenario& scenario);
  // The launcher against the served tree of a crash state, then the next build.
  std::string RebootPublisher(const std::filesystem::path& crash, int servedVersion);
  bool RunOnFs(const std::vector<std::string>& command, const std::filesystem::path& workDir,
               PowerCutFs& fs);

  std::map<std::string, std::string> servedOld_;
  std::map<std::string, std::string> servedNew_;
  std::unique_ptr<NginxServer> crashServer_;  // serves a crash state's tree
  Scenario client_;
  static inline int kept_ = 0;  // states kept for a look (POWER_CUT_KEEP)
};

// Writes the tally's figures to standard output and to
// power_cut_summary.txt in the working directory; fails the test for every
// lost state.
void ReportTally(const std::string& path, const Tally& tally);

template <typename CutOnce>
Tally PowerCutBed::Sweep(const std::string& name, CutOnce cutOnce, int stride, int randomCuts,
                         int moreStates) {
  Tally tally;
  const auto [events, changes] = cutOnce(CutPoint{true, 0}, 0, tally);
  tally.events = events;
  tally.changes = changes;
  EXPECT_GT(events, 0) << name << ": no flush or rename seen";
  for (int n = 1; n <= events; n += stride) cutOnce(CutPoint{true, n}, moreStates, tally);
  for (int i = 0; i < randomCuts && changes > 0; ++i) {
    const int n = std::uniform_int_distribution<int>(1, changes)(rng_);
    cutOnce(CutPoint{false, n}, moreStates, tally);
  }
  ReportTally(name, tally);
  return tally;
}

}  // namespace launcher::testing
