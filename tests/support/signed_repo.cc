#include "support/signed_repo.h"

#include <gtest/gtest.h>

namespace launcher::testing {

namespace fs = std::filesystem;

fs::path TestReleaseKeyPath(int which) {
  return fs::path(LAUNCHER_SOURCE_DIR) / "resources" / "keys" /
         (which == 2 ? "test-release2-private.pem" : "test-release-private.pem");
}

fs::path TestReleasePublicKeyPath(int which) {
  return fs::path(LAUNCHER_SOURCE_DIR) / "resources" / "keys" /
         (which == 2 ? "test-release2-public.pem" : "test-release-public.pem");
}

std::string TestReleasePublicPem(int which) {
  return ReadFileBytes(TestReleasePublicKeyPath(which));
}

SignedRepo::SignedRepo() { fs::create_directories(dir_ / "trees"); }

void SignedRepo::Publish(int version, const ReleaseFiles& files, const std::string& name,
                         const std::vector<int>& keys, const std::vector<std::string>& extra) {
  WriteRelease(dir_ / "releases", version, files);
  // Only the releases up to this one: a later one may have been added for
  // another tree already.
  const fs::path releases = dir_ / ("releases-" + name);
  fs::remove_all(releases);
  fs::create_directories(releases);
  for (const auto& entry : fs::directory_iterator(dir_ / "releases")) {
    if (std::stoi(entry.path().filename().string()) <= version) {
      fs::copy(entry.path(), releases / entry.path().filename(), fs::copy_options::recursive);
    }
  }
  std::vector<std::string> args = {
      "build", "--releases", releases.string(),  "--key", TestPrivateKeyPath().string(), "--pid",
      "1",     "--out",      Tree(name).string()};
  for (int key : keys) {
    args.push_back("--release-key");
    args.push_back(TestReleaseKeyPath(key).string());
  }
  for (const std::string& arg : extra) {
    // A later "--pid" wins over the one above.
    args.push_back(arg);
  }
  const ProcessResult result = RunPublish(args);
  if (result.status != 0) {
    ADD_FAILURE() << "launcher-publish build of " << name << " failed:\n"
                  << result.out << result.err;
  }
  fs::remove_all(releases);
}

void SignedRepo::Serve(const std::string& name, const fs::path& served) const {
  fs::create_directories(served);
  for (const auto& entry : fs::directory_iterator(served)) fs::remove_all(entry.path());
  for (const auto& entry : fs::directory_iterator(Tree(name))) {
    fs::copy(entry.path(), served / entry.path().filename(), fs::copy_options::recursive);
  }
}

}  // namespace launcher::testing
