// The public keys that sign release statements: the Ed25519 keys compiled
// in from LAUNCHER_RELEASE_KEY_FILES (at most two: the current key and the
// next, so that a key can be rotated), or a set a test installs.
//
// With no key configured the launcher asks for no statement and behaves as
// it always did. A configured key that cannot be read still counts as
// configured: every statement is then refused, never silently skipped.
//
// The installed set is a seam like the engine clock: main leaves the
// compiled-in set in place, a test installs its own with SetReleaseKeys
// while no worker runs. The objects are immutable; readers on any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "crypto/ed25519.h"

namespace launcher {

inline constexpr std::size_t kMaxReleaseKeys = 2;

class ReleaseKeys {
 public:
  // One PEM "PUBLIC KEY" per key; more than kMaxReleaseKeys are refused
  // like an unreadable key.
  explicit ReleaseKeys(const std::vector<std::string_view>& pems);
  ~ReleaseKeys();
  ReleaseKeys(const ReleaseKeys&) = delete;
  ReleaseKeys& operator=(const ReleaseKeys&) = delete;

  // Keys configured, readable or not (0: statements are not used).
  std::size_t configured() const { return configured_; }
  // True when every configured key was read.
  bool usable() const { return usable_; }
  // The key with this key id, or null.
  const Ed25519PublicKey* Find(std::string_view keyId) const;

 private:
  std::size_t configured_ = 0;
  bool usable_ = true;
  std::vector<std::unique_ptr<Ed25519PublicKey>> keys_;
};

// The keys statements are checked against. Never fails; built on first use.
const ReleaseKeys& InstalledReleaseKeys();
// Installs `keys` (nullptr: the compiled-in set) and returns the set it
// replaced (nullptr when that was the compiled-in one). The caller keeps
// the set alive while it is installed. Not while a worker runs.
const ReleaseKeys* SetReleaseKeys(const ReleaseKeys* keys);

// True when the launcher checks release statements: some key is configured.
inline bool ReleaseStatementsRequired() { return InstalledReleaseKeys().configured() > 0; }

}  // namespace launcher
