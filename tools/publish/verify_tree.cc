#include "publish/verify_tree.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "crypto/md5_digest.h"
#include "crypto/signature_verifier.h"
#include "crypto/signer.h"
#include "files/utf16.h"
#include "pack/pack.h"
#include "publish/file_io.h"
#include "publish/path_rules.h"
#include "publish/tree_switch.h"
#include "publish/verify_deltas.h"
#include "publish/verify_release.h"
#include "update/list_distance.h"
#include "update/list_path.h"

namespace launcher::publish {

namespace fs = std::filesystem;

namespace {

// The launcher reads lines of at most 399 bytes, line end included.
constexpr std::size_t kReaderLineBytes = 399;

bool IsLowerHexDigest(std::string_view text) {
  if (text.size() != kDigestChars) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool ReadNumberFile(const fs::path& path, long long& value) {
  std::string text;
  if (!ReadWholeFile(path, text)) return false;
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i == text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  value = std::strtoll(text.c_str() + i, nullptr, 10);
  return true;
}

// Restores the engine's current list directory when reading ends.
class ListDirScope {
 public:
  ListDirScope() : saved_(CurrentListDir) { CurrentListDir.clear(); }
  ~ListDirScope() { CurrentListDir = saved_; }
  ListDirScope(const ListDirScope&) = delete;
  ListDirScope& operator=(const ListDirScope&) = delete;

 private:
  std::string saved_;
};

struct Entry {
  char operation = 0;  // '+' or '-' in incremental lists, 0 in the full list
  std::string digest;  // empty for deletes
  std::string served;  // path of the compressed file below patcher/patcher/
};

class TreeVerifier {
 public:
  TreeVerifier(const fs::path& root, const fs::path& releases, std::ostream& out)
      : root_(root), releases_(releases), out_(out) {}

  int Run(const fs::path& publicKey, const std::vector<fs::path>& releaseKeys) {
    std::string pem;
    if (!ReadWholeFile(publicKey, pem)) return Report(publicKey.string() + ": cannot read");
    SignatureVerifier verifier(pem);
    if (!verifier.HasKey()) return Report(publicKey.string() + ": not a PEM public key");
    long long number = 0;
    if (!ReadNumberFile(root_ / "info" / "pid", number)) Problem("info/pid: missing or no number");
    if (!ReadNumberFile(root_ / "patcher" / "version", number) || number < 1) {
      Problem("patcher/version: missing or not a version of 1 or more");
    }
    const bool fullOk = ReadList(verifier, "files.md5", full_);
    std::error_code ec;
    std::set<std::string> incremental;
    for (const auto& item : fs::directory_iterator(root_ / "patcher", ec)) {
      const std::string name = item.path().filename().string();
      if (name.starts_with("v-") && name.ends_with(".inc")) incremental.insert(name);
    }
    for (const std::string& name : incremental) {
      const int distance = std::atoi(name.c_str() + 2);
      if (name != "v-" + std::to_string(distance) + ".inc" || !IsListDistance(distance)) {
        Note(name + ": not a distance the launcher asks for");
      }
      std::map<std::string, Entry> entries;
      if (ReadList(verifier, name, entries) && fullOk) CrossCheck(name, entries);
    }
    for (const auto& [path, entry] : full_) CheckServedFile(path, entry);
    const int patches = CheckDeltas(verifier);
    CheckRelease(releaseKeys, incremental);
    ReportStrayFiles();
    out_ << "checked " << listsRead_ << " list(s), " << filesChecked_ << " file(s), " << patches
         << " patch(es) applied: "
         << (problems_ == 0 ? "OK" : std::to_string(problems_) + " problem(s)") << "\n";
    return problems_ == 0 ? 0 : 1;
  }

 private:
  int Report(const std::string& text) {
    Problem(text);
    return 1;
  }
  void Problem(const std::string& text) {
    ++problems_;
    out_ << "problem: " << text << "\n";
  }
  void Note(const std::string& text) { out_ << "note: " << text << "\n"; }

  // Reads one list into `entries` (decoded path -> entry). False when the
  // list could not be used at all.
  bool ReadList(const SignatureVerifier& verifier, const std::string& name,
                std::map<std::string, Entry>& entries) {
    const fs::path path = root_ / "patcher" / name;
    std::string raw;
    if (!ReadWholeFile(path, raw)) {
      Problem("patcher/" + name + ": missing");
      return false;
    }
    if (!verifier.VerifySignedFile(FromUtf8Lossy(path.string()))) {
      Problem("patcher/" + name + ": signature does not verify");
      return false;
    }
    ++listsRead_;
    const std::string text = TextModeContent(raw);
    ListDirScope scope;
    std::map<std::u16string, std::string> folded;
    std::size_t start = 0;
    int lineNumber = 0;
    bool sawEntry = false;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      const std::string line =
          text.substr(start, end == std::string::npos ? std::string::npos : end - start);
      start = end == std::string::npos ? text.size() : end + 1;
      const std::string where = "patcher/" + name + " line " + std::to_string(++lineNumber);
      if (line == kSignatureMarker) break;
      if (line.size() + 1 > kReaderLineBytes) Problem(where + ": longer than the launcher reads");
      if (!line.empty() && line[0] == '#') continue;
      std::istringstream tokens(line);
      std::string digestToken;
      std::string pathToken;
      if (!(tokens >> digestToken >> pathToken)) {
        Problem(where + ": not an entry (two tokens expected)");
        continue;
      }
      if (!sawEntry && pathToken[0] != '/') {
        Problem(where + ": the first entry must open a directory (\"/\" form)");
      }
      sawEntry = true;
      Entry entry;
      if (!ParseDigestToken(name == "files.md5", digestToken, entry)) {
        Problem(where + ": bad digest token \"" + digestToken + "\"");
        continue;
      }
      std::string expanded = pathToken;
      DecodedListPath decoded = DecodeListPath(expanded);
      std::u16string safe = decoded.path;
      if (expanded.size() > kMaxExpandedTokenBytes) {
        Problem(where + ": path token longer than " + std::to_string(kMaxExpandedTokenBytes) +
                " bytes after expansion");
        continue;
      }
      if (!decoded.valid || expanded.find('\\') != std::string::npos ||
          !SanitizeDecodedPath(safe) || !expanded.starts_with("./")) {
        Problem(where + ": path \"" + expanded + "\" does not decode to a safe relative path");
        continue;
      }
      const std::string decodedText = ToUtf8(safe);
      entry.served = expanded.substr(2);
      if (!entries.emplace(decodedText, entry).second) {
        Problem(where + ": " + decodedText + " is listed twice");
      }
      auto [it, inserted] = folded.emplace(CaseFoldKey(decodedText), decodedText);
      if (!inserted && it->second != decodedText && entry.operation != '-' &&
          entries.at(it->second).operation != '-') {
        Problem(where + ": " + decodedText + " differs only in letter case from " + it->second);
      }
    }
    return true;
  }

  static bool ParseDigestToken(bool fullList, const std::string& token, Entry& entry) {
    if (fullList) {
      entry.digest = token;
      return IsLowerHexDigest(token);
    }
    entry.operation = token[0] == '-' ? '-' : '+';
    if (entry.operation == '-') return token.size() <= 51;
    entry.digest = token.substr(1);
    return IsLowerHexDigest(entry.digest);
  }

  // An incremental list must leave a client with the full list's state.
  void CrossCheck(const std::string& name, const std::map<std::string, Entry>& entries) {
    std::map<std::u16string, std::string> folded;
    for (const auto& [path, entry] : full_) folded.emplace(CaseFoldKey(path), path);
    for (const auto& [path, entry] : entries) {
      auto it = full_.find(path);
      if (entry.operation == '-') {
        if (it != full_.end()) {
          Problem("patcher/" + name + ": deletes " + path + ", which the full list keeps");
        }
        // Deleting a case variant removes the kept file on the players'
        // file systems; the list must install it again.
        auto same = folded.find(CaseFoldKey(path));
        if (it == full_.end() && same != folded.end() && !entries.contains(same->second)) {
          Problem("patcher/" + name + ": deletes " + path + " but does not reinstall " +
                  same->second);
        }
      } else if (it == full_.end()) {
        Problem("patcher/" + name + ": adds " + path + ", which the full list does not name");
        CheckServedFile(path, entry);
      } else if (it->second.digest != entry.digest || it->second.served != entry.served) {
        Problem("patcher/" + name + ": " + path + " differs from the full list");
      }
    }
  }

  void CheckServedFile(const std::string& path, const Entry& entry) {
    const fs::path served = root_ / "patcher" / "patcher" / entry.served;
    if (!checkedFiles_.insert(entry.served).second) return;
    ++filesChecked_;
    std::error_code ec;
    if (!fs::is_regular_file(served, ec)) {
      Problem(path + ": patcher/patcher/" + entry.served + " is missing");
      return;
    }
    char digest[kDigestTextCapacity] = {};
    DigestFile(FromUtf8Lossy(served.string()), digest);
    if (entry.digest != std::string_view(digest, kDigestChars)) {
      Problem(path + ": patcher/patcher/" + entry.served + " has digest " +
              std::string(digest, kDigestChars) + ", the list says " + entry.digest);
      return;
    }
    const fs::path target = Scratch() / "file";
    if (!DecompressFile(FromUtf8Lossy(served.string()), FromUtf8Lossy(target.string()))) {
      Problem(path + ": patcher/patcher/" + entry.served + " does not decompress");
    }
    fs::remove(target, ec);
  }

  void CheckRelease(const std::vector<fs::path>& releaseKeys, const std::set<std::string>& lists) {
    ReleaseCheckInput input;
    input.root = root_;
    input.publicKeys = releaseKeys;
    for (const auto& [path, entry] : full_) input.listed.emplace(path, entry.served);
    input.lists.assign(lists.begin(), lists.end());
    input.lists.push_back("files.md5");
    input.scratch = Scratch();
    VerifyReleaseFiles(
        input, [this](const std::string& text) { Problem(text); },
        [this](const std::string& text) { Note(text); });
  }

  int CheckDeltas(const SignatureVerifier& verifier) {
    DeltaCheck check;
    check.root = root_;
    if (!releases_.empty()) check.releases = releases_;
    check.scratch = Scratch();
    for (const auto& [path, entry] : full_) check.listed[entry.served] = entry.digest;
    check.problem = [this](const std::string& text) { Problem(text); };
    check.note = [this](const std::string& text) { Note(text); };
    const int applied = CheckDeltaIndex(check, verifier, patchFiles_);
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root_ / "patcher" / "delta", ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec)) continue;
      const std::string rel = fs::relative(it->path(), root_ / "patcher", ec).generic_string();
      if (!patchFiles_.contains(rel)) Note("patcher/" + rel + " is not in the delta index");
    }
    return applied;
  }

  const fs::path& Scratch() {
    if (scratch_.empty()) {
      std::error_code tempError;
      const fs::path temp = fs::temp_directory_path(tempError);
      if (auto dir = MakeUniqueDirectory((temp / "launcher-verify-").string())) scratch_ = *dir;
    }
    return scratch_;
  }

  void ReportStrayFiles() {
    std::error_code ec;
    const fs::path files = root_ / "patcher" / "patcher";
    for (auto it = fs::recursive_directory_iterator(files, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec)) continue;
      const std::string rel = fs::relative(it->path(), files, ec).generic_string();
      if (!checkedFiles_.contains(rel)) Note("patcher/patcher/" + rel + " is not listed");
    }
    if (!scratch_.empty()) fs::remove_all(scratch_, ec);
  }

  fs::path root_;
  fs::path releases_;
  std::ostream& out_;
  std::map<std::string, Entry> full_;
  std::set<std::string> checkedFiles_;
  std::set<std::string> patchFiles_;
  fs::path scratch_;
  int problems_ = 0;
  int listsRead_ = 0;
  int filesChecked_ = 0;
};

}  // namespace

int VerifyServerTree(const fs::path& root, const fs::path& publicKey, std::ostream& out,
                     const std::vector<fs::path>& releaseKeys, const fs::path& releases) {
  return TreeVerifier(root, releases, out).Run(publicKey, releaseKeys);
}

}  // namespace launcher::publish
