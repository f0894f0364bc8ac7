#include "publish/verify_release.h"

#include <cstdlib>
#include <memory>
#include <system_error>

#include "crypto/release_keys.h"
#include "files/utf16.h"
#include "pack/pack.h"
#include "platform/clock.h"
#include "publish/file_io.h"
#include "publish/release_signing.h"
#include "update/release_manifest.h"
#include "update/release_statement.h"
#include "update/utc_time.h"

namespace launcher::publish {

namespace fs = std::filesystem;

namespace {

long long ReadLeadingNumber(const fs::path& path) {
  std::string text;
  if (!ReadWholeFile(path, text)) return -1;
  return std::strtoll(text.c_str(), nullptr, 10);
}

class ReleaseChecker {
 public:
  ReleaseChecker(const ReleaseCheckInput& input,
                 const std::function<void(const std::string&)>& problem,
                 const std::function<void(const std::string&)>& note)
      : in_(input), problem_(problem), note_(note) {}

  int Run() {
    const fs::path path = in_.root / "patcher" / "statement";
    std::error_code ec;
    if (!fs::exists(path, ec)) {
      if (!in_.publicKeys.empty()) problem_("patcher/statement: missing");
      return 0;
    }
    if (in_.publicKeys.empty()) {
      note_("patcher/statement: present but not checked (give --release-pubkey)");
      return 0;
    }
    if (!ReadStatement(path)) return 0;
    CheckBoundFiles();
    return CheckManifest();
  }

 private:
  bool ReadStatement(const fs::path& path) {
    std::vector<std::string> pems;
    for (const fs::path& file : in_.publicKeys) {
      std::string pem;
      if (!ReadWholeFile(file, pem)) {
        problem_(file.string() + ": cannot read");
        return false;
      }
      pems.push_back(std::move(pem));
    }
    std::vector<std::string_view> views(pems.begin(), pems.end());
    const ReleaseKeys keys(views);
    if (!keys.usable()) {
      problem_("the release public keys are not one or two PEM Ed25519 keys");
      return false;
    }
    std::string bytes;
    std::string why;
    if (!ReadWholeFile(path, bytes) || !ParseReleaseStatement(bytes, read_, why)) {
      problem_("patcher/statement: " + (why.empty() ? std::string("cannot read") : why));
      return false;
    }
    if (CheckStatementSignatures(read_, keys) != SignatureCheck::kValid) {
      problem_("patcher/statement: not signed by the given release key(s)");
      return false;
    }
    const ReleaseStatement& s = read_.statement;
    if (ReadLeadingNumber(in_.root / "info" / "pid") != s.product) {
      problem_("patcher/statement: names product " + std::to_string(s.product) +
               ", info/pid another");
    }
    if (ReadLeadingNumber(in_.root / "patcher" / "version") != s.version) {
      problem_("patcher/statement: names version " + std::to_string(s.version) +
               ", patcher/version another");
    }
    if (EngineClock().UnixTime() > s.expiresAt) {
      problem_("patcher/statement: expired " + FormatUtcTime(s.expiresAt) +
               " (launcher-publish refresh signs it again)");
    } else {
      note_("patcher/statement: version " + std::to_string(s.version) + ", expires " +
            FormatUtcTime(s.expiresAt));
    }
    return true;
  }

  void CheckBoundFiles() {
    for (const BoundFile& bound : read_.statement.files) {
      std::string sha256;
      std::int64_t size = 0;
      if (!HashFile(in_.root / fs::path(bound.path), sha256, size)) {
        problem_(bound.path + ": named by the statement but missing");
      } else if (size != bound.size || sha256 != bound.sha256) {
        problem_(bound.path + ": size or SHA-256 differs from the statement");
      }
    }
    for (const std::string& list : in_.lists) {
      if (read_.statement.Find("patcher/" + list) == nullptr) {
        problem_("patcher/" + list +
                 ": not named by the statement; launchers with release keys "
                 "will not fetch it");
      }
    }
  }

  int CheckManifest() {
    std::string text;
    std::string why;
    ReleaseManifest manifest;
    if (!ReadWholeFile(in_.root / "patcher" / "manifest", text) ||
        !manifest.Parse(std::move(text), why)) {
      problem_("patcher/manifest: " + (why.empty() ? std::string("cannot read") : why));
      return 0;
    }
    if (manifest.size() != in_.listed.size()) {
      problem_("patcher/manifest: names " + std::to_string(manifest.size()) +
               " files, the full list " + std::to_string(in_.listed.size()));
    }
    int checked = 0;
    for (const auto& [path, served] : in_.listed) {
      ManifestEntry entry;
      if (!manifest.Find(std::string_view(path), entry)) {
        problem_(path + ": not in the manifest");
        continue;
      }
      ++checked;
      CheckEntry(path, in_.root / "patcher" / "patcher" / fs::path(served), entry);
    }
    return checked;
  }

  void CheckEntry(const std::string& path, const fs::path& compressed, const ManifestEntry& entry) {
    std::string sha256;
    std::int64_t size = 0;
    if (!HashFile(compressed, sha256, size) || size != entry.compressedSize ||
        sha256 != entry.compressedSha256) {
      problem_(path + ": the served compressed form differs from the manifest");
      return;
    }
    const fs::path target = in_.scratch / "installed";
    std::error_code ec;
    if (!DecompressFile(FromUtf8Lossy(compressed.string()), FromUtf8Lossy(target.string())) ||
        !HashFile(target, sha256, size) || size != entry.installedSize ||
        sha256 != entry.installedSha256) {
      problem_(path + ": the installed form differs from the manifest");
    }
    fs::remove(target, ec);
  }

  const ReleaseCheckInput& in_;
  const std::function<void(const std::string&)>& problem_;
  const std::function<void(const std::string&)>& note_;
  SignedStatement read_;
};

}  // namespace

int VerifyReleaseFiles(const ReleaseCheckInput& input,
                       const std::function<void(const std::string&)>& problem,
                       const std::function<void(const std::string&)>& note) {
  return ReleaseChecker(input, problem, note).Run();
}

}  // namespace launcher::publish
