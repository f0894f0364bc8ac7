// ScopedReleaseKeys: installs a set of release public keys in the engine for
// the lifetime of the object, then puts back the set it replaced (scopes
// nest). EngineEnv installs an empty set, so engine tests run as a launcher
// built without release keys whatever the build compiled in; a test of the
// release statement installs the test keys on top. Not while a worker runs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "crypto/release_keys.h"

namespace launcher::testing {

class ScopedReleaseKeys {
 public:
  explicit ScopedReleaseKeys(std::vector<std::string> pems)
      : pems_(std::move(pems)), keys_(Views(pems_)), previous_(SetReleaseKeys(&keys_)) {}
  ~ScopedReleaseKeys() { SetReleaseKeys(previous_); }
  ScopedReleaseKeys(const ScopedReleaseKeys&) = delete;
  ScopedReleaseKeys& operator=(const ScopedReleaseKeys&) = delete;

 private:
  static std::vector<std::string_view> Views(const std::vector<std::string>& pems) {
    return std::vector<std::string_view>(pems.begin(), pems.end());
  }

  std::vector<std::string> pems_;
  ReleaseKeys keys_;
  const ReleaseKeys* previous_;
};

}  // namespace launcher::testing
