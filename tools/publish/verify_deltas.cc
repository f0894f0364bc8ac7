#include "publish/verify_deltas.h"

#include <system_error>

#include "crypto/md5_digest.h"
#include "files/utf16.h"
#include "pack/pack.h"
#include "pack/patch.h"
#include "publish/file_io.h"
#include "update/delta_index.h"
#include "update/list_path.h"

namespace launcher::publish {

namespace fs = std::filesystem;

namespace {

// Finds the base of a patch among the releases: the file at the patch's
// path whose compressed form has the base digest. Digests are computed
// once per file.
class BaseFinder {
 public:
  explicit BaseFinder(const fs::path& releases) : releases_(releases) {}

  std::optional<fs::path> Find(const std::string& relPath, const std::string& digest) {
    std::error_code ec;
    for (const auto& version : fs::directory_iterator(releases_, ec)) {
      const fs::path file =
          version.path() / fs::path(std::u8string(relPath.begin(), relPath.end()));
      if (!fs::is_regular_file(file, ec)) continue;
      auto [it, fresh] = digests_.emplace(file.string(), std::string());
      if (fresh) {
        char text[kDigestTextCapacity] = {};
        if (DigestCompressedForm(FromUtf8Lossy(file.string()), text)) it->second = text;
      }
      if (it->second == digest) return file;
    }
    return std::nullopt;
  }

 private:
  fs::path releases_;
  std::map<std::string, std::string> digests_;
};

// The relative path an expanded token stands for ("data/a.bin"), or
// nullopt when it is not a safe one.
std::optional<std::string> RelativePathOf(std::string token) {
  const std::string saved = CurrentListDir;
  CurrentListDir.clear();
  DecodedListPath decoded = DecodeListPath(token);
  CurrentListDir = saved;
  std::u16string path = decoded.path;
  if (!decoded.valid || !SanitizeDecodedPath(path)) return std::nullopt;
  std::string utf8 = ToUtf8(path);
  if (utf8.starts_with("./")) utf8.erase(0, 2);
  return utf8;
}

bool SameBytes(const fs::path& a, const fs::path& b) {
  std::string x;
  std::string y;
  return ReadWholeFile(a, x) && ReadWholeFile(b, y) && x == y;
}

}  // namespace

int CheckDeltaIndex(const DeltaCheck& check, const SignatureVerifier& verifier,
                    std::set<std::string>& checked) {
  const fs::path indexPath = check.root / "patcher" / std::string(kDeltaIndexName);
  const std::string name = "patcher/" + std::string(kDeltaIndexName);
  std::error_code ec;
  if (!fs::exists(indexPath, ec)) return 0;
  std::string raw;
  if (!ReadWholeFile(indexPath, raw) || raw.size() > kMaxDeltaIndexBytes) {
    check.problem(name + ": unreadable or larger than the launcher reads");
    return 0;
  }
  if (!verifier.VerifySignedFile(FromUtf8Lossy(indexPath.string()))) {
    check.problem(name + ": signature does not verify");
    return 0;
  }
  std::optional<std::string> content = SignedContent(raw);
  std::string why;
  std::optional<DeltaIndex> index =
      content ? ParseDeltaIndex(*content, why) : std::optional<DeltaIndex>();
  if (!index) {
    check.problem(name + ": refused by the launcher: " +
                  (content ? why : "content the signature does not cover as read"));
    return 0;
  }
  std::optional<BaseFinder> bases;
  if (check.releases) bases.emplace(*check.releases);
  int applied = 0;
  for (const DeltaPatch& patch : index->patches) {
    const std::string served = patch.path.substr(2);
    const std::string what = name + ": patch " + patch.place + " for " + served;
    auto listed = check.listed.find(served);
    if (listed == check.listed.end() || listed->second != patch.resultDigest) {
      check.problem(what + ": its result is not the full list's file");
      continue;
    }
    const fs::path file = check.root / "patcher" / patch.place;
    checked.insert(patch.place);
    std::string bytes;
    if (!ReadWholeFile(file, bytes) || bytes.size() != patch.patchSize ||
        Md5Hex(bytes) != patch.patchMd5) {
      check.problem(what + ": the patch file is missing or not the one the index names");
      continue;
    }
    if (!bases) continue;
    const std::optional<std::string> relPath = RelativePathOf(patch.path);
    std::optional<fs::path> base;
    if (relPath) base = bases->Find(*relPath, patch.baseDigest);
    if (!base) {
      check.problem(what + ": no release holds its base " + patch.baseDigest);
      continue;
    }
    const fs::path result = check.scratch / "patched";
    const fs::path whole = check.scratch / "whole";
    const PatchOutcome outcome =
        ApplyPatchFile(*base, file, result, {patch.resultSize, patch.resultSha256}, false);
    if (outcome != PatchOutcome::kApplied) {
      check.problem(what + ": applied to " + base->string() + ": " +
                    ToUtf8(std::u16string(PatchOutcomeText(outcome))));
    } else if (!DecompressFile(
                   FromUtf8Lossy((check.root / "patcher" / "patcher" / served).string()),
                   FromUtf8Lossy(whole.string()), false) ||
               !SameBytes(result, whole)) {
      check.problem(what + ": the result differs from the served file");
    } else {
      ++applied;
    }
    fs::remove(result, ec);
    fs::remove(whole, ec);
  }
  if (!check.releases && !index->patches.empty()) {
    check.note(name + ": " + std::to_string(index->patches.size()) +
               " patches not applied (give --releases to apply each to its base)");
  }
  return applied;
}

}  // namespace launcher::publish
