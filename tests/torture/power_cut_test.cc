// Power cuts at the flushes and renames of the launcher's update paths and
// of the publisher, on the test file system (power_cut_bed.h). Each cut is
// checked in a state of each model; the figures (cuts, crash states checked,
// lost) are printed and written to power_cut_summary.txt. Bounded, every
// third flush or rename is cut; with TORTURE_ROUNDS above 1 every one, more
// random changes, and more states of models 2 and 3 per cut. A failure names
// the cut, the model and its seed; POWER_CUT_KEEP=<dir> keeps every state,
// before and after its reboot, for a look.
#include "support/temp_dir.h"
#include "torture/power_cut_bed.h"
#include "torture/torture_bed.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;

class PowerCutTest : public PowerCutBed {
 protected:
  static bool Full() { return TortureRounds() > 1; }
  static int Stride() { return Full() ? 1 : 3; }
  static int RandomCuts() { return Full() ? 4 * TortureRounds() : 2; }
  static int MoreStates() { return Full() ? 4 : 2; }

  void SweepLauncher(const Scenario& scenario) {
    Sweep(
        scenario.name,
        [&](CutPoint cut, int states, Tally& tally) {
          return CutLauncher(scenario, cut, states, tally);
        },
        Stride(), RandomCuts(), MoreStates());
  }
};

TEST_F(PowerCutTest, FirstInstallation) {
  SweepLauncher(Prepare("first installation", {}, 0, false));
}

TEST_F(PowerCutTest, IncrementalUpdate) {
  SweepLauncher(Prepare("incremental update", Old(), 1, false));
}

TEST_F(PowerCutTest, ResumedIncrementalUpdate) { SweepLauncher(PrepareInterrupted(false)); }

TEST_F(PowerCutTest, UpdateResumedAfterTheServerMovedOn) {
  SweepLauncher(PrepareInterrupted(true));
}

// The resume record names its list by the version alone. Once it records a
// transfer of the new version, every crash state holds that version's list
// (not zeros, not the list of release 2 the interrupted run left), and none
// of the copies that run staged: one could be taken for the new version's.
TEST_F(PowerCutTest, ANewListIsOnTheDiskBeforeARecordNamesIt) {
  const Scenario scenario = PrepareInterrupted(true);
  ASSERT_FALSE(ReadTree(scenario.root / "config" / "patcher" / "temp").empty());
  auto mounted = MountCopy(scenario.root, {});
  ASSERT_NE(mounted, nullptr);
  RunWorker(dir_ / "mnt" / "launcher", false, [&](const DisplayCall& call) {
    if (InTransfer(call)) mounted->CutNow();
  });
  mounted->Unmount();
  ASSERT_TRUE(mounted->power_cut());
  const std::string list = ReadFileBytes(dir_ / "served" / "patcher" / "v-2.inc");
  for (unsigned seed = 0; seed < 8; ++seed) {
    const auto model =
        seed == 0 ? PowerCutFs::Model::kLoseUnflushedData : PowerCutFs::Model::kLoseMetadataSuffix;
    const fs::path crash = dir_ / ("crash-" + std::to_string(seed));
    const std::string kept = mounted->WriteCrashState(crash, model, seed);
    EXPECT_EQ(ReadFileBytes(crash / "config" / "patcher" / "inc.sw"), list) << kept;
    for (const auto& [path, content] : ReadTree(crash / "config" / "patcher" / "temp")) {
      const auto between = Between().find(path);
      EXPECT_FALSE(between != Between().end() && between->second == content)
          << path << " of release 2 is still staged; " << kept;
    }
  }
}

TEST_F(PowerCutTest, FullCheckThatRepairs) {
  Release damaged = New();
  damaged["game.exe"] = "not the game";
  damaged["readme.txt"] = "";
  damaged.erase("data/a.pak");
  SweepLauncher(Prepare("full check that repairs", damaged, 3, true));
}

TEST_F(PowerCutTest, PublisherBuildingIntoTheServedTree) {
  PreparePublisher();
  // Few flushes (the publisher syncs the whole tree at once): most cuts fall
  // at random changes while it builds.
  Sweep(
      "publisher",
      [&](CutPoint cut, int states, Tally& tally) { return CutPublisher(cut, states, tally); }, 1,
      Full() ? 60 : 12, MoreStates());
}

}  // namespace
}  // namespace launcher::testing
