// TortureBed: the common ground of the fault and attack matrix. One
// installation in a temporary directory (EngineEnv: working directory,
// string table "S<n> ", recording display, simulated clock), a patch server
// tree beside it (ServerTree: compressed files and lists written with the
// engine's own format code), a directory "outside/" that nothing may ever
// touch, and snapshots of the whole temporary root to prove it.
//
// Not thread-safe; one per test. The engine's process-wide state is reset
// by EngineEnv on construction and destruction.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "net/downloader.h"
#include "support/engine_env.h"
#include "support/fault_server.h"
#include "support/nginx_server.h"
#include "support/release_server.h"

namespace launcher::testing {

// How much harder to push than the bounded default: TORTURE_ROUNDS (>= 1).
int TortureRounds();
// The seed of a randomised case: TORTURE_SEED when set, else `fallback`.
unsigned TortureSeed(unsigned fallback);

// Every entry below a directory, symbolic links not followed: relative path
// -> "d <mode>", "f <mode> <content>" or "l <target>".
using TreeState = std::map<std::string, std::string>;
TreeState SnapshotTree(const std::filesystem::path& dir);
// Human-readable differences (at most a few dozen lines); empty when equal.
std::string DescribeTreeDifference(const TreeState& before, const TreeState& after);

// The working names the engine may leave under ../config/ (state files,
// logs, staging trees, the server's answers).
bool IsKnownConfigPath(const std::string& relToConfig);

class TortureBed : public ::testing::Test {
 protected:
  TortureBed();

  // ../patcher/ holds exactly `files` plus server/pid.ini (product id 1).
  void Install(const Release& files);
  // ../patcher/ without server/.
  Release Installed() const;

  // The full list content for `release` (every file added to the served
  // tree), one "/" entry per file.
  std::string FullListContent(const Release& release);
  // Serves `bytes` as the full list and `version` as the server version.
  void ServeFullList(const std::string& bytes, int version = 2);
  // Publishes `release` as a correctly signed full list of `version`.
  void PublishFull(const Release& release, int version = 2);

  void StartNginx();
  // Starts the fault server over the served tree with `routesJson`.
  void StartFaultServer(const std::string& routesJson);

  // One full check as a fresh process would run it. True when it ended
  // with MSG_FULL_CHECK_DONE on the status line.
  bool RunFullCheckOnce();
  // The same through the update from the full list only, with a downloader
  // of the given options (the full check itself makes a default one): the
  // version and the list are fetched first like the full check does.
  bool RunFullListUpdateWith(const Downloader::Options& options);

  bool StatusShown(int slot) const;
  // Requests for listed files (the compressed forms) that the server saw.
  std::size_t FileRequestCount() const;

  // Everything under the temporary root except the served tree (the
  // server's business), ../patcher/ and ../config/: nothing there may change.
  TreeState RestState() const;
  // Asserts that the rest of the root equals `before` and that ../config/
  // holds only the engine's own working names.
  void ExpectNothingStray(const TreeState& before) const;
  TreeState PatcherState() const { return SnapshotTree(env_.Patcher()); }
  // Asserts that ../patcher/ still equals `before`.
  void ExpectPatcherUnchanged(const TreeState& before) const;

  const std::filesystem::path& root() const { return env_.root(); }
  std::filesystem::path Outside(std::string_view rel = {}) const {
    return env_.root() / "outside" / rel;
  }

  EngineEnv env_;
  ServerTree tree_;
  std::unique_ptr<NginxServer> nginx_;
  std::unique_ptr<FaultServer> fault_;
};

// The text of a full list line for `relPath` with `digest`: "/" token form.
std::string FullListLine(std::string_view digest, std::string_view relPath);

}  // namespace launcher::testing
