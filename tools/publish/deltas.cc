#include "publish/deltas.h"

#include <optional>
#include <set>
#include <sstream>
#include <system_error>
#include <vector>

#include "crypto/md5_digest.h"
#include "crypto/signer.h"
#include "files/utf16.h"
#include "pack/pack.h"
#include "pack/patch.h"
#include "platform/file_stamp.h"
#include "publish/file_io.h"
#include "publish/path_rules.h"
#include "update/delta_index.h"
#include "update/list_path.h"

namespace launcher::publish {

namespace fs = std::filesystem;

namespace {

std::string Hex(const RawDigestBytes& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t b : bytes) {
    text.push_back(kHex[b >> 4]);
    text.push_back(kHex[b & 0x0F]);
  }
  return text;
}

// A patch is worth its index line and a second place to look when it
// saves a real share of the download.
bool WorthKeeping(std::uint64_t patchSize, std::uint64_t compressedSize) {
  return patchSize * 4 <= compressedSize * 3 && patchSize + 1024 <= compressedSize;
}

bool Unchanged(const SnapshotFile& file) {
  FileStamp stamp;
  return ReadFileStamp(file.source, stamp) && stamp.size == file.size &&
         stamp.modifiedNs == file.mtimeNs;
}

}  // namespace

DeltaBuilder::DeltaBuilder(const std::map<int, Snapshot>& snapshots, int newest,
                           ContentIndex& index, Progress& progress)
    : snapshots_(snapshots), newest_(newest), index_(index), progress_(progress) {}

bool DeltaBuilder::BaseDigest(const SnapshotFile& file, std::string& digest) {
  const std::optional<RawDigestBytes> raw = index_.RawDigest(file);
  if (!raw) return false;
  if (auto it = baseDigests_.find(*raw); it != baseDigests_.end()) {
    digest = it->second;
    return true;
  }
  char text[kDigestTextCapacity] = {};
  if (!DigestCompressedForm(FromUtf8Lossy(file.source.string()), text)) return false;
  digest.assign(text, kDigestChars);
  baseDigests_.emplace(*raw, digest);
  return true;
}

bool DeltaBuilder::Build(int releases, const fs::path& build,
                         const std::map<std::string, std::string>& listDigests,
                         const std::string& privatePem, const std::string& comment,
                         const SignatureVerifier& verifier, std::string& problem) {
  const auto start = std::chrono::steady_clock::now();
  const Snapshot& newest = snapshots_.at(newest_);
  // For each file of V, the distinct older contents of the last releases.
  std::vector<std::pair<const SnapshotFile*, std::vector<const SnapshotFile*>>> work;
  std::uint64_t pairs = 0;
  for (const SnapshotFile& file : newest.files) {
    std::vector<const SnapshotFile*> bases;
    std::set<RawDigestBytes> seen;
    for (int k = 1; k <= releases; ++k) {
      auto release = snapshots_.find(newest_ - k);
      if (release == snapshots_.end()) continue;
      const SnapshotFile* old = release->second.Find(file.path);
      if (old == nullptr || index_.SameContent(*old, file)) continue;
      const std::optional<RawDigestBytes> raw = index_.RawDigest(*old);
      if (!raw) {
        problem = old->source.string() + ": cannot be read";
        return false;
      }
      if (seen.insert(*raw).second) bases.push_back(old);
    }
    if (!bases.empty()) {
      pairs += bases.size();
      work.emplace_back(&file, std::move(bases));
    }
  }

  DeltaIndex index{.version = newest_, .patches = {}};
  std::error_code ec;
  fs::create_directories(build / "patcher" / "delta", ec);
  if (ec) {
    problem = (build / "patcher" / "delta").string() + ": " + ec.message();
    return false;
  }
  // Each (base, result) pair is made once; nullopt: made and not kept.
  std::map<std::string, std::optional<MadePatch>> made;
  std::uint64_t done = 0;
  for (const auto& [file, bases] : work) {
    const std::optional<RawDigestBytes> resultRaw = index_.RawDigest(*file);
    const std::string& resultDigest = listDigests.at(file->path);
    const std::uint64_t compressed =
        fs::file_size(build / "patcher" / "patcher" / ServedRelativePath(file->path), ec);
    if (!resultRaw || ec) {
      problem = file->source.string() + ": cannot be read";
      return false;
    }
    bool any = false;
    for (const SnapshotFile* old : bases) {
      progress_.Count("making patches", ++done, pairs, patchBytes_);
      std::string baseDigest;
      if (!BaseDigest(*old, baseDigest)) {
        problem = old->source.string() + ": cannot be read or compressed";
        return false;
      }
      if (PatchWindowLog(old->size, file->size) == 0 || baseDigest == resultDigest) {
        ++skipped_;
        continue;
      }
      const std::string place = "delta/" + baseDigest + "-" + resultDigest + ".zst";
      auto known = made.find(place);
      if (known == made.end()) {
        const fs::path path = build / "patcher" / place;
        MadePatch patch;
        if (!MakePatchFile(old->source, file->source, path, patch)) {
          problem =
              old->source.string() + " -> " + file->source.string() + ": the patch cannot be made";
          return false;
        }
        if (!Unchanged(*old) || !Unchanged(*file)) {
          problem = file->source.string() + ": changed while the patches were made";
          return false;
        }
        std::optional<MadePatch> kept;
        if (WorthKeeping(patch.size, compressed)) {
          kept = patch;
        } else {
          fs::remove(path, ec);
        }
        known = made.emplace(place, kept).first;
      }
      if (!known->second) {
        ++skipped_;
        continue;
      }
      const std::optional<RawDigestBytes> baseRaw = index_.RawDigest(*old);
      if (!baseRaw) {
        problem = old->source.string() + ": cannot be read";
        return false;
      }
      index.patches.push_back(DeltaPatch{.path = EncodeListPath(file->path),
                                         .baseDigest = baseDigest,
                                         .baseSha256 = Hex(*baseRaw),
                                         .resultDigest = resultDigest,
                                         .resultSize = file->size,
                                         .resultSha256 = Hex(*resultRaw),
                                         .patchSize = known->second->size,
                                         .patchMd5 = known->second->md5,
                                         .place = place});
      ++patches_;
      patchBytes_ += known->second->size;
      wholeBytes_ += compressed;
      any = true;
    }
    if (any) ++files_;
  }
  seconds_ = std::chrono::steady_clock::now() - start;
  if (index.patches.empty()) {
    // Without a patch there is nothing to index: launchers then say once
    // that there is no index, instead of once per file that there is no
    // patch.
    fs::remove_all(build / "patcher" / "delta", ec);
    return true;
  }
  auto signedFile = MakeSignedFile(privatePem, FormatDeltaIndex(index, comment));
  const fs::path indexPath = build / "patcher" / std::string(kDeltaIndexName);
  if (!signedFile || !ReplaceFile(indexPath, *signedFile) ||
      !verifier.VerifySignedFile(FromUtf8Lossy(indexPath.string()))) {
    problem = std::string(kDeltaIndexName) + ": cannot be signed and written";
    return false;
  }
  return true;
}

std::string DeltaBuilder::Summary() const {
  std::ostringstream text;
  text << "patches: " << patches_ << " for " << files_ << " files, " << (patchBytes_ >> 10)
       << " KiB (" << (wholeBytes_ >> 10) << " KiB as whole files)";
  if (skipped_ > 0) text << ", " << skipped_ << " not worth keeping";
  text.setf(std::ios::fixed);
  text.precision(1);
  text << ", made in " << seconds_.count() << " s";
  return text.str();
}

}  // namespace launcher::publish
