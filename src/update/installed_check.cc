#include "update/installed_check.h"

#include "crypto/md5_digest.h"
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

InstalledDigest g_lastInstalled;

// Keeps what the check found and answers it.
bool Found(std::u16string_view decodedPath, std::string_view digest, std::string_view listDigest) {
  g_lastInstalled.decodedPath.assign(decodedPath);
  g_lastInstalled.digest.assign(digest);
  return !digest.empty() && listDigest == digest;
}

}  // namespace

const InstalledDigest& LastInstalledDigest() { return g_lastInstalled; }

std::vector<std::u16string> PlanInstalledChecks(std::u16string_view listPath, bool incremental,
                                                int skipEntries,
                                                const std::vector<bool>* excluded) {
  std::vector<std::u16string> paths;
  ListReader list{std::u16string(listPath)};
  if (!list.is_open()) return paths;
  const std::string savedDir = CurrentListDir;
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
    FileStamp stamp;
    if (ReadFileStamp(ToPath(path), stamp) &&
        AskVerifiedRecord(file.decodedPath, stamp) != nullptr) {
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
  char digest[kDigestTextCapacity] = {};
  return DigestOfCompressedForm(path, digest) && listDigest == std::string_view(digest);
}

}  // namespace launcher
