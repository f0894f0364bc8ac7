// TrustBed: the attack matrix of the release statement, in the style of
// TUF's conformance tests. Release trees are published once per test binary
// by the real launcher-publish with the test release keys (SignedRepo);
// each case serves one of them, or a mix an attacker could make, to the
// engine holding the test release key, runs it, changes the served state,
// runs again, and checks three things: what is installed, which version is
// recorded as trusted, and that a later honest server recovers the
// installation.
//
// Not thread-safe; one per test.
#pragma once

#include <memory>
#include <string>

#include "support/release_keys_scope.h"
#include "support/signed_repo.h"
#include "torture/torture_bed.h"

namespace launcher::testing {

class TrustBed : public TortureBed {
 protected:
  // The releases (R1..R4) and their trees: "1".."4" signed by key 1;
  // "2-both" by keys 1 and 2; "3-next" and "4-next" by key 2 only; "2-pid2"
  // for product 2; "2-hour" expiring an hour after it was built.
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  static const Release& R(int version);

  TrustBed();

  // The launcher's release keys from now on (1, 2).
  void UseKeys(const std::vector<int>& keys);
  // Makes the served tree a copy of the tree `name`.
  void Serve(const std::string& name);
  // Requests for listed files since the last Serve.
  std::size_t FetchedSinceServe() const { return FileRequestCount() - requestsAtServe_; }
  std::filesystem::path Served(std::string_view rel = {}) const { return tree_.root() / rel; }

  // One normal run, or one full check, as a fresh process: true when it
  // ended with MSG_UPDATE_DONE or MSG_FULL_CHECK_DONE (a first installation
  // goes through the full check).
  bool RunNormal();
  bool RunFull() { return RunFullCheckOnce(); }
  bool LastStatusIs(int slot) const;
  bool Logged(int slot) const;

  // Asserts the installation holds `files`, "version.sw" `version` (0: none)
  // and the trusted version `trusted`.
  void ExpectState(const Release& files, int version, int trusted) const;
  // Serves `name` honestly and expects a normal run to bring the
  // installation to release `version` and trust it.
  void ExpectRecovery(const std::string& name, int version);

  static SignedRepo* repo_;

 private:
  std::unique_ptr<ScopedReleaseKeys> keys_;
  std::size_t requestsAtServe_ = 0;
};

// The target the engine requests for the listed file `relPath`.
std::string FileTarget(std::string_view relPath);

}  // namespace launcher::testing
