#include "publish/build.h"

#include <climits>
#include <cstdio>

#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <system_error>
#include <vector>

#include "crypto/md5_digest.h"
#include "crypto/signature_verifier.h"
#include "crypto/signer.h"
#include "files/utf16.h"
#include "pack/pack_format.h"
#include "platform/clock.h"
#include "platform/file_stamp.h"
#include "platform/native_file.h"
#include "publish/content_index.h"
#include "publish/deltas.h"
#include "publish/file_io.h"
#include "publish/history.h"
#include "publish/keys.h"
#include "publish/list_format.h"
#include "publish/path_rules.h"
#include "publish/progress.h"
#include "publish/release_signing.h"
#include "publish/reuse.h"
#include "publish/snapshot.h"
#include "publish/tree_switch.h"
#include "update/list_distance.h"
#include "update/utc_time.h"

namespace launcher::publish {

namespace fs = std::filesystem;

namespace {

bool WriteWholeFile(const fs::path& path, std::string_view data) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(data.data(), static_cast<std::streamsize>(data.size()));
  file.close();
  return !file.fail();
}

// The compressed form of `source` written to `target` (a new file in the
// build directory) and its list digest. The same compressor as the
// launcher's, without a sync per file: the whole tree is synced once before
// it is switched into place.
bool CompressInto(const fs::path& source, const fs::path& target, std::string& digest) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(OpenStdioFile(target, "wbx"), &std::fclose);
  if (!out) return false;
  std::vector<char> buffer(1 << 20);
  std::setvbuf(out.get(), buffer.data(), _IOFBF, buffer.size());
  Md5Digest md5;
  const bool ok = CompressFileToSink(FromUtf8Lossy(source.string()), FrozenPackParameters(),
                                     [&](const unsigned char* data, std::size_t size) {
                                       md5.Update(data, size);
                                       return std::fwrite(data, 1, size, out.get()) == size;
                                     });
  if (std::fclose(out.release()) != 0 || !ok) return false;
  char text[kDigestTextCapacity] = {};
  unsigned capacity = sizeof text;
  md5.Final();
  if (md5.ToHex(text, capacity) == nullptr) return false;
  digest.assign(text, kDigestChars);
  return true;
}

class TreeBuilder {
 public:
  TreeBuilder(const BuildOptions& options, std::ostream& out, std::ostream& err)
      : options_(options), out_(out), err_(err), progress_(err) {}

  int Run() {
    std::string problem;
    std::string note;
    if (!RecoverTreeSwitch(options_.out, problem, note)) return Fail(problem);
    if (!note.empty()) err_ << "note: " << note << "\n";
    if (!LoadKey() || !LoadReleaseKeys() || !LoadReleases()) return 1;
    auto dir = MakeBuildDirectory(options_.out, problem);
    if (!dir) return Fail(problem);
    build_ = *dir;
    const bool ok =
        CompressFiles() && WriteLists() && WriteDeltas() && WriteInfoFiles() && WriteRelease();
    if (ok) {
      std::string how;
      if (PrepareTreeForServing(build_, problem) &&
          SwitchTree(build_, options_.out, problem, how)) {
        out_ << "published version " << newest_ << ": " << Newest().files.size() << " files, "
             << (compressedBytes_ >> 20) << " MiB compressed, " << listNames_.size() << " lists ("
             << Join(listNames_) << "); " << options_.out.string() << " " << how << "\n";
        if (deltas_) out_ << deltas_->Summary() << "\n";
        return 0;
      }
      Fail(problem);
    }
    std::error_code ec;
    fs::remove_all(build_, ec);
    err_ << "nothing was published; " << options_.out.string() << " is unchanged\n";
    return 1;
  }

 private:
  int Fail(const std::string& problem) {
    err_ << "launcher-publish: " << problem << "\n";
    return 1;
  }

  bool Error(const std::string& problem) {
    Fail(problem);
    return false;
  }

  const Snapshot& Newest() const { return snapshots_.at(newest_); }

  static std::string Join(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
  }

  bool LoadKey() {
    if (!ReadWholeFile(options_.privateKey, privatePem_)) {
      return Error(options_.privateKey.string() + ": cannot read the private key");
    }
    int bits = 0;
    auto publicPem = PublicPemFromPrivate(privatePem_, &bits);
    if (!publicPem) {
      return Error(options_.privateKey.string() + ": not a PEM RSA private key");
    }
    if (bits != 1024) {
      err_ << "warning: the key has " << bits
           << " bits; the launcher's key format is a 1024-bit key\n";
    }
    verifier_ = std::make_unique<SignatureVerifier>(*publicPem);
    if (options_.reuse) reuse_ = std::make_unique<ServedTreeReuse>(options_.out, *verifier_);
    return true;
  }

  bool LoadReleases() {
    std::vector<std::string> notes;
    std::vector<std::string> problems;
    auto releases = ListReleases(options_.releases, notes, problems);
    for (const auto& note : notes) err_ << "note: " << note << "\n";
    if (releases.empty() && problems.empty()) {
      problems.push_back(options_.releases.string() + ": no version directories (named 1, 2, ...)");
    }
    if (!releases.empty()) newest_ = releases.rbegin()->first;
    for (const auto& [version, root] : releases) {
      progress_.Line("scanning version " + std::to_string(version));
      snapshots_.emplace(version, ScanSnapshot(version, root, version == newest_, problems));
    }
    if (!problems.empty()) {
      for (const auto& problem : problems) err_ << "refused: " << problem << "\n";
      return Error(std::to_string(problems.size()) + " problem(s) in the releases");
    }
    if (Newest().files.empty()) {
      return Error("version " + std::to_string(newest_) + " holds no files");
    }
    return true;
  }

  // The compressed form of every file of V, and its list digest.
  bool CompressFiles() {
    const Snapshot& newest = Newest();
    std::map<std::uint64_t, int> sizeCount;
    for (const SnapshotFile& file : newest.files) ++sizeCount[file.size];
    // Identical contents under several paths are compressed once.
    std::map<std::pair<std::uint64_t, RawDigestBytes>, fs::path> done;
    std::uint64_t count = 0;
    for (const SnapshotFile& file : newest.files) {
      const fs::path target = build_ / "patcher" / "patcher" / ServedRelativePath(file.path);
      std::error_code ec;
      fs::create_directories(target.parent_path(), ec);
      if (ec) return Error(target.parent_path().string() + ": " + ec.message());
      // Served names are base64, in which letter case matters ("aaa" is
      // "YWFh", "aaG" is "YWFH"): a file system that ignores case would
      // merge two of them.
      if (FileKindNoFollow(target) != FileKind::kMissing) {
        return Error(target.string() +
                     ": a served name that differs from another only in letter case; the server "
                     "tree must be on a case-sensitive file system");
      }
      std::optional<std::pair<std::uint64_t, RawDigestBytes>> key;
      if (sizeCount[file.size] > 1) {
        if (auto raw = index_.RawDigest(file)) key.emplace(file.size, *raw);
      }
      std::string digest;
      if (auto it = key ? done.find(*key) : done.end(); it != done.end()) {
        if (!LinkOrCopy(it->second, target)) return false;
        digest = digests_.at(it->second.string());
      } else {
        if (!(reuse_ && reuse_->TryReuse(file.path, file.source, target, digest)) &&
            !CompressInto(file.source, target, digest)) {
          return Error(file.source.string() + ": cannot be read or compressed");
        }
        compressedBytes_ += fs::file_size(target, ec);
        if (key) done.emplace(*key, target);
        digests_[target.string()] = digest;
      }
      if (!Unchanged(file)) {
        return Error(file.source.string() + ": changed while the tree was built");
      }
      listDigest_[file.path] = digest;
      progress_.Count("compressing", ++count, newest.files.size(), compressedBytes_);
    }
    if (reuse_ && reuse_->reused() > 0) {
      progress_.Line("reused " + std::to_string(reuse_->reused()) +
                     " compressed files of the served tree");
    }
    return true;
  }

  bool LinkOrCopy(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::create_hard_link(from, to, ec);
    if (ec) fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec) return Error(to.string() + ": " + ec.message());
    return true;
  }

  static bool Unchanged(const SnapshotFile& file) {
    FileStamp stamp;
    return ReadFileStamp(file.source, stamp) && stamp.size == file.size &&
           stamp.modifiedNs == file.mtimeNs;
  }

  bool WriteLists() {
    std::vector<ListEntry> full;
    for (const auto& [path, digest] : listDigest_) full.push_back({path, false, digest});
    if (!WriteList("files.md5", ListKind::kFull, std::move(full))) return false;

    History history(snapshots_, index_);
    // Every client, however far behind (version 1 is the oldest a client
    // can trust), finds the list for its distance: one that reaches below
    // the oldest release kept names every file. A client that asked for a
    // missing list would otherwise fail on every run.
    const int reach = std::max(newest_ - 1, options_.maxDistance);
    if (reach < 1) progress_.Line("only one version: no incremental lists");
    if (history.oldest() > 1) {
      err_ << "note: versions before " << history.oldest()
           << " are not in the releases; lists reaching them name every file\n";
    }
    for (int k = history.oldest() + 1; k <= newest_; ++k) {
      if (!snapshots_.contains(k - 1) || !snapshots_.contains(k)) continue;
      progress_.Line("comparing versions " + std::to_string(k - 1) + " and " + std::to_string(k));
      history.ChangedInStep(k);
    }
    std::map<std::u16string, std::string> foldedNewest;
    for (const auto& [path, digest] : listDigest_) foldedNewest.emplace(CaseFoldKey(path), path);
    for (int distance : ListDistanceSeries(reach)) {
      DistancePlan plan = history.PlanDistance(distance);
      if (!index_.errors().empty()) {
        for (const auto& [file, error] : index_.errors())
          err_ << "refused: " << file << ": " << error << "\n";
        return Error("files could not be read");
      }
      if (!plan.exact) {
        err_ << "warning: v-" << distance << ".inc names every file: " << plan.reason << "\n";
      }
      std::set<std::string> paths = plan.paths;
      for (const std::string& path : plan.paths) {
        // On a case-insensitive file system deleting "SETUP.ini" removes
        // "setup.ini" too; the file of V is then installed again after it.
        auto folded = foldedNewest.find(CaseFoldKey(path));
        if (!listDigest_.contains(path) && folded != foldedNewest.end())
          paths.insert(folded->second);
      }
      std::vector<ListEntry> entries;
      for (const std::string& path : paths) {
        auto it = listDigest_.find(path);
        if (it != listDigest_.end()) {
          entries.push_back({path, false, it->second});
        } else {
          entries.push_back({path, true, {}});
        }
      }
      if (entries.empty()) {
        // Nothing changed: one current file keeps the list from being empty,
        // which not every reader handles; clients find it current and skip it.
        const auto& first = *listDigest_.begin();
        entries.push_back({first.first, false, first.second});
      }
      if (!WriteList("v-" + std::to_string(distance) + ".inc", ListKind::kIncremental,
                     std::move(entries))) {
        return false;
      }
    }
    return true;
  }

  bool WriteList(const std::string& name, ListKind kind, std::vector<ListEntry> entries) {
    std::string problem;
    auto content = FormatList(kind, std::move(entries), options_.comment, problem);
    if (!content) return Error(name + ": " + problem);
    const fs::path path = build_ / "patcher" / name;
    // The lists that reach below the oldest release kept are all the same:
    // signed once, then linked.
    if (auto same = writtenLists_.find(*content); same != writtenLists_.end()) {
      if (!LinkOrCopy(same->second, path)) return false;
      listNames_.push_back(name);
      return true;
    }
    auto signedFile = MakeSignedFile(privatePem_, *content);
    if (!signedFile) return Error(name + ": signing failed");
    if (!WriteWholeFile(path, *signedFile)) return Error(path.string() + ": cannot write");
    // Checked with the public half before anything is served.
    if (!verifier_->VerifySignedFile(FromUtf8Lossy(path.string()))) {
      return Error(name + ": the signed list does not verify with the key's public half");
    }
    listNames_.push_back(name);
    writtenLists_.emplace(std::move(*content), path);
    progress_.Line("signed " + name);
    return true;
  }

  bool WriteDeltas() {
    if (options_.deltas <= 0) return true;
    deltas_ = std::make_unique<DeltaBuilder>(snapshots_, newest_, index_, progress_);
    std::string problem;
    if (!deltas_->Build(options_.deltas, build_, listDigest_, privatePem_, options_.comment,
                        *verifier_, problem)) {
      return Error(problem);
    }
    progress_.Line(deltas_->Summary());
    return true;
  }

  bool WriteInfoFiles() {
    std::error_code ec;
    fs::create_directories(build_ / "info", ec);
    if (ec || !WriteWholeFile(build_ / "info" / "pid", std::to_string(options_.pid) + "\n") ||
        !WriteWholeFile(build_ / "patcher" / "version", std::to_string(newest_) + "\n")) {
      return Error(build_.string() + ": cannot write the version files");
    }
    return true;
  }

  bool LoadReleaseKeys() {
    if (options_.releaseKeys.empty()) return true;
    if (options_.pid < 1 || options_.pid > INT_MAX) {
      return Error("a release statement needs a product id of 1 or more");
    }
    std::string problem;
    auto keys = publish::LoadReleaseKeys(options_.releaseKeys, problem);
    if (!keys) return Error(problem);
    releasePems_ = std::move(*keys);
    return true;
  }

  // The manifest and the signed statement, once every other file is there.
  bool WriteRelease() {
    if (releasePems_.empty()) return true;
    std::map<std::string, ManifestSource> files;
    for (const SnapshotFile& file : Newest().files) {
      auto raw = index_.RawDigest(file);
      if (!raw) return Error(file.source.string() + ": cannot be read");
      ManifestSource source;
      source.installedSize = static_cast<std::int64_t>(file.size);
      source.installedSha256 = HexOf(*raw);
      source.compressed = build_ / "patcher" / "patcher" / ServedRelativePath(file.path);
      files.emplace(file.path, std::move(source));
    }
    const std::int64_t now = EngineClock().UnixTime();
    std::string problem;
    if (!WriteReleaseFiles(build_, static_cast<int>(options_.pid), newest_, files, releasePems_,
                           now, options_.statementLifetime, problem)) {
      return Error(problem);
    }
    progress_.Line("signed the release statement; it expires " +
                   FormatUtcTime(now + options_.statementLifetime));
    return true;
  }

  static std::string HexOf(const RawDigestBytes& raw) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : raw) {
      text += kDigits[byte >> 4];
      text += kDigits[byte & 0x0f];
    }
    return text;
  }

  const BuildOptions& options_;
  std::ostream& out_;
  std::ostream& err_;
  Progress progress_;
  std::string privatePem_;
  std::unique_ptr<SignatureVerifier> verifier_;
  std::unique_ptr<ServedTreeReuse> reuse_;
  std::map<int, Snapshot> snapshots_;
  int newest_ = 0;
  ContentIndex index_;
  fs::path build_;
  std::map<std::string, std::string> listDigest_;  // relative path -> list digest
  std::map<std::string, std::string> digests_;     // compressed file -> its digest
  std::uint64_t compressedBytes_ = 0;
  std::vector<std::string> listNames_;
  std::map<std::string, fs::path> writtenLists_;  // list content -> its signed file
  std::vector<std::string> releasePems_;          // Ed25519 keys that sign the statement
  std::unique_ptr<DeltaBuilder> deltas_;
};

}  // namespace

int BuildServerTree(const BuildOptions& options, std::ostream& out, std::ostream& err) {
  return TreeBuilder(options, out, err).Run();
}

}  // namespace launcher::publish
