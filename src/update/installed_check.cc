#include "update/installed_check.h"

#include "crypto/md5_digest.h"
#include "crypto/sha256_digest.h"
#include "files/paths.h"
#include "files/utf16.h"
#include "pack/pack.h"
#include "platform/file_stamp.h"
#include "seam/cancel.h"
#include "seam/status_display.h"
#include "update/digest_lookahead.h"
#include "update/directories.h"
#include "update/file_fetch.h"
#include "update/list_entry.h"
#include "update/list_file.h"
#include "update/list_path.h"
#include "update/release_trust.h"
#include "update/transfer_plan.h"
#include "update/verified_files.h"

namespace launcher {
namespace {

// The digest of the compressed form of the file at `path`, into `digest`;
// false when it cannot be read. The compression is one guarded section; its
// digest is taken while compressing, so the compressed form of a large file
// is never held in memory. The bar follows the bytes read; its end is shown
// once the file has been read whole.
bool DigestOfCompressedForm(const std::u16string& path, char* digest) {
  SetFileProgress(0);
  bool readable = false;
  {
    GuardedSection guard;
    readable = DigestCompressedForm(path, digest, [](int percent) {
      if (percent < 100) SetFileProgressInGuardedSection(percent);
    });
  }
  if (readable) SetFileProgress(100);
  return readable;
}

// The SHA-256 and size of the file at `path`; false when it cannot be read.
// One guarded section, as the compression of the other check; the bar as
// there.
bool Sha256OfFile(const std::u16string& path, std::string& hex, std::uint64_t& size) {
  SetFileProgress(0);
  bool readable = false;
  {
    GuardedSection guard;
    readable = Sha256File(path, hex, size, [](int percent) {
      if (percent < 100) SetFileProgressInGuardedSection(percent);
    });
  }
  if (readable) SetFileProgress(100);
  return readable;
}

void ShowSettled() {
  SetFileProgress(0);
  SetFileProgress(100);
}

// The check against a release manifest: the installed file's own size and
// SHA-256, which cost one read and no compression. Asked in the same order
// as the compressed-form check: the record, the look-ahead, the file.
// `sha256` receives the installed file's SHA-256 when it was learnt (not
// for a file whose size already tells it differs).
bool MatchesSignedEntry(std::u16string_view decodedPath, const std::u16string& path,
                        const ManifestEntry& signedEntry, std::string& sha256) {
  FileStamp stamp;
  const bool stamped = ReadFileStamp(ToPath(path), stamp);
  if (stamped && static_cast<std::int64_t>(stamp.size) != signedEntry.installedSize) {
    ShowSettled();  // another size: no need to read it
    return false;
  }
  if (const std::string* recorded = stamped ? AskVerifiedSha256(decodedPath, stamp) : nullptr) {
    ShowSettled();
    sha256 = *recorded;
    return sha256 == signedEntry.installedSha256;
  }
  LookAheadAnswer answer;
  DigestLookAhead* ahead = ActiveLookAhead();
  if (ahead != nullptr && ahead->kind() == AheadDigest::kInstalledSha256 &&
      ahead->Take(path, answer) && stamped && answer.stamp == stamp) {
    ShowSettled();
    NoteVerifiedSha256(decodedPath, stamp, answer.digest);
    sha256 = answer.digest;
    return sha256 == signedEntry.installedSha256;
  }
  std::uint64_t size = 0;
  if (!Sha256OfFile(path, sha256, size)) return false;
  FileStamp after;
  if (stamped && ReadFileStamp(ToPath(path), after) && after == stamp) {
    NoteVerifiedSha256(decodedPath, stamp, sha256);
  }
  return static_cast<std::int64_t>(size) == signedEntry.installedSize &&
         sha256 == signedEntry.installedSha256;
}

InstalledDigest g_lastInstalled;

// Keeps what the check found and answers it.
bool Found(std::u16string_view decodedPath, std::string_view digest, std::string_view listDigest) {
  g_lastInstalled.decodedPath.assign(decodedPath);
  g_lastInstalled.digest.assign(digest);
  g_lastInstalled.sha256.clear();
  return !digest.empty() && listDigest == digest;
}

}  // namespace

const InstalledDigest& LastInstalledDigest() { return g_lastInstalled; }

bool InstalledSha256(std::u16string_view decodedPath, std::string& hex) {
  const std::u16string path = PatcherDirPath + std::u16string(decodedPath);
  if (!StaysInsideRoot(PatcherDirPath, decodedPath) || !IsRegularFileNoFollow(path)) return false;
  std::uint64_t size = 0;
  return Sha256OfFile(path, hex, size);
}

std::vector<std::u16string> PlanInstalledChecks(std::u16string_view listPath, bool incremental,
                                                int skipEntries,
                                                const std::vector<bool>* excluded) {
  std::vector<std::u16string> paths;
  ListReader list{std::u16string(listPath)};
  if (!list.is_open()) return paths;
  const std::string savedDir = CurrentListDir;
  const bool manifest = ActiveManifest() != nullptr;
  std::string line;
  for (int i = 0; i < skipEntries; ++i) {
    if (list.NextEntry(line) != ListLine::kEntry) return paths;
  }
  for (std::size_t entry = static_cast<std::size_t>(skipEntries);
       list.NextEntry(line) == ListLine::kEntry; ++entry) {
    ListedFile file;
    if (!ReadListedFileQuietly(line, incremental, file)) break;
    if (file.operation == '-' ||
        (excluded != nullptr && entry < excluded->size() && (*excluded)[entry])) {
      continue;
    }
    if (!StaysInsideRoot(PatcherDirPath, file.decodedPath)) continue;
    const std::u16string path = PatcherDirPath + file.decodedPath;
    // What the record answers is not read again; with a release manifest
    // the file is checked by its SHA-256, which the record may hold alone.
    FileStamp stamp;
    if (ReadFileStamp(ToPath(path), stamp) &&
        (manifest ? AskVerifiedSha256(file.decodedPath, stamp)
                  : AskVerifiedRecord(file.decodedPath, stamp)) != nullptr) {
      continue;
    }
    paths.push_back(path);
  }
  CurrentListDir = savedDir;
  return paths;
}

bool IsInstalledFileCurrent(std::u16string_view decodedPath, std::string_view listDigest) {
  const std::u16string path = PatcherDirPath + std::u16string(decodedPath);
  if (!StaysInsideRoot(PatcherDirPath, decodedPath) || !IsRegularFileNoFollow(path)) {
    return Found(decodedPath, {}, listDigest);
  }
  // With a release manifest the file is checked against what the manifest
  // gives for it; the list's digest of the compressed form vouches for the
  // download only.
  ManifestEntry signedEntry;
  if (SignedEntryFor(decodedPath, signedEntry)) {
    std::string sha256;
    const bool current = MatchesSignedEntry(decodedPath, path, signedEntry, sha256);
    Found(decodedPath, {}, listDigest);
    g_lastInstalled.sha256 = std::move(sha256);
    if (current) NoteFoundCurrent(decodedPath);
    return current;
  }
  FileStamp stamp;
  const bool stamped = ReadFileStamp(ToPath(path), stamp);

  // The record answers for a file nobody touched since its digest was taken.
  if (const std::string* recorded = stamped ? AskVerifiedRecord(decodedPath, stamp) : nullptr) {
    SetFileProgress(0);
    SetFileProgress(100);
    return Found(decodedPath, *recorded, listDigest);
  }
  // An answer computed ahead holds while the file's stamp is the one it was
  // read with; a file changed since then is read again here.
  LookAheadAnswer answer;
  DigestLookAhead* ahead = ActiveLookAhead();
  if (ahead != nullptr && ahead->Take(path, answer) && stamped && answer.stamp == stamp) {
    SetFileProgress(0);
    SetFileProgress(100);
    NoteVerifiedFile(decodedPath, stamp, answer.digest);
    return Found(decodedPath, answer.digest, listDigest);
  }

  char digest[kDigestTextCapacity] = {};
  if (!DigestOfCompressedForm(path, digest)) return Found(decodedPath, {}, listDigest);
  FileStamp after;
  if (stamped && ReadFileStamp(ToPath(path), after) && after == stamp) {
    NoteVerifiedFile(decodedPath, stamp, digest);
  }
  return Found(decodedPath, digest, listDigest);
}

bool IsStagedCopyCurrent(std::u16string_view stagingRoot, std::u16string_view decodedPath,
                         std::string_view listDigest) {
  const std::u16string path = std::u16string(stagingRoot) + std::u16string(decodedPath);
  if (!StaysInsideRoot(stagingRoot, decodedPath) || !IsRegularFileNoFollow(path)) return false;
  // With a release manifest the copy must be the installed form it signs.
  ManifestEntry signedEntry;
  if (SignedEntryFor(decodedPath, signedEntry)) {
    std::string hex;
    std::uint64_t size = 0;
    return Sha256OfFile(path, hex, size) &&
           static_cast<std::int64_t>(size) == signedEntry.installedSize &&
           hex == signedEntry.installedSha256;
  }
  char digest[kDigestTextCapacity] = {};
  return DigestOfCompressedForm(path, digest) && listDigest == std::string_view(digest);
}

}  // namespace launcher
