// SignedRepo: release trees as an operator publishes them with release
// keys, built by the real launcher-publish and kept side by side, so that a
// test can serve any one of them, or a mix of their files, as an attack
// needs. Releases accumulate: the tree of version v is built from every
// release added up to v, with its incremental lists.
//
// The test release keys are resources/keys/test-release-*.pem (1, the
// current key) and test-release2-*.pem (2, the next key). Linux only (it
// runs launcher-publish as a process). Not thread-safe.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/publish_fixture.h"
#include "support/temp_dir.h"

namespace launcher::testing {

std::filesystem::path TestReleaseKeyPath(int which);        // private half, 1 or 2
std::filesystem::path TestReleasePublicKeyPath(int which);  // public half
std::string TestReleasePublicPem(int which);

class SignedRepo {
 public:
  SignedRepo();

  // Adds release `version` (replacing one of that number) and builds the
  // tree named `name` from every release up to it, signed by the release
  // keys `keys` (1, 2), with `extra` arguments for the build ("--expires",
  // "1h"; "--pid", "2"). A failed build fails the test.
  void Publish(int version, const ReleaseFiles& files, const std::string& name,
               const std::vector<int>& keys = {1}, const std::vector<std::string>& extra = {});

  std::filesystem::path Tree(const std::string& name) const { return dir_ / "trees" / name; }
  // Makes `served` an exact copy of the tree `name` (its old content goes).
  void Serve(const std::string& name, const std::filesystem::path& served) const;

 private:
  TempDir dir_;
};

}  // namespace launcher::testing
