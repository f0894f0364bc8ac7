#include "crypto/release_keys.h"

#include "crypto/compiled_release_keys.h"

namespace launcher {
namespace {

const ReleaseKeys* g_installed = nullptr;

const ReleaseKeys& CompiledInReleaseKeys() {
  // Never destroyed: the worker may still hold it while the process ends.
  static const ReleaseKeys* const keys = [] {
    std::vector<std::string_view> pems(kCompiledInReleaseKeyPems.begin(),
                                       kCompiledInReleaseKeyPems.end());
    return new ReleaseKeys(pems);
  }();
  return *keys;
}

}  // namespace

ReleaseKeys::ReleaseKeys(const std::vector<std::string_view>& pems) : configured_(pems.size()) {
  if (pems.size() > kMaxReleaseKeys) {
    usable_ = false;
    return;
  }
  for (std::string_view pem : pems) {
    std::unique_ptr<Ed25519PublicKey> key = Ed25519PublicKey::FromPem(pem);
    if (key == nullptr) {
      usable_ = false;
      continue;
    }
    keys_.push_back(std::move(key));
  }
}

ReleaseKeys::~ReleaseKeys() = default;

const Ed25519PublicKey* ReleaseKeys::Find(std::string_view keyId) const {
  // A set with an unreadable key trusts nothing: refusing every statement
  // is the only answer that does not depend on which key was lost.
  if (!usable_) return nullptr;
  for (const auto& key : keys_) {
    if (key->key_id() == keyId) return key.get();
  }
  return nullptr;
}

const ReleaseKeys& InstalledReleaseKeys() {
  return g_installed != nullptr ? *g_installed : CompiledInReleaseKeys();
}

const ReleaseKeys* SetReleaseKeys(const ReleaseKeys* keys) {
  const ReleaseKeys* previous = g_installed;
  g_installed = keys;
  return previous;
}

}  // namespace launcher
