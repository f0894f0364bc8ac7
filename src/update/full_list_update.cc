#include "update/full_list_update.h"

#include <string>
#include <vector>

#include "crypto/signature_verifier.h"
#include "files/file_ops.h"
#include "files/log.h"
#include "files/paths.h"
#include "files/string_table.h"
#include "platform/clock.h"
#include "seam/status_display.h"
#include "update/delta_fetch.h"
#include "update/digest_lookahead.h"
#include "update/directories.h"
#include "update/fetch_ahead.h"
#include "update/file_fetch.h"
#include "update/file_install.h"
#include "update/installed_check.h"
#include "update/list_entry.h"
#include "update/list_file.h"
#include "update/pass_progress.h"
#include "update/state_files.h"
#include "update/transfer_plan.h"
#include "update/update_state.h"
#include "update/verified_files.h"

namespace launcher {
namespace {

// The check pass: every entry is compared with its installed copy, and each
// one that differs is fetched into Check/; an entry that a later one
// supersedes is left alone. `fetched` gets the marks, one per entry in list
// order. False as soon as an entry is given up.
bool CheckPass(ListReader& list, int entryCount, const std::vector<bool>& superseded,
               std::vector<int>& fetched, int& fetchedCount) {
  BeginPassProgress(0, true);
  SetStatusText(Message(MSG_CHECKING_FILES));
  fetchedCount = 0;
  int progress = 0;
  // Helpers read the installed files ahead of this loop, and the files that
  // differ are fetched ahead of it (fetch_ahead.h).
  LookAheadScope ahead(PlanInstalledChecks(FullListFilePath, false, 0, &superseded));
  FetchAhead fetchAhead({FullListFilePath, false, 0, superseded, CheckDirPath, false});
  std::string line;
  for (int i = 0; i < entryCount && list.NextEntry(line) == ListLine::kEntry; ++i) {
    ListedFile file;
    // Every entry was validated before this pass; a line that no longer
    // reads the same means the file changed under us.
    if (!ReadListedFile(line, false, file)) return false;
    fetchAhead.At(i);
    fetched[static_cast<std::size_t>(i)] = 0;
    if (static_cast<std::size_t>(i) < superseded.size() &&
        superseded[static_cast<std::size_t>(i)]) {
      progress += 100;
      ShowPassProgress(progress / entryCount);
      continue;
    }
    LogTextWithName(Message(MSG_LOG_CHECKING_FILE), file.decodedPath);
    SetStatusText(Message(MSG_CHECKING_FILES));
    FileOk = IsInstalledFileCurrent(file.decodedPath, file.listDigest) ? 1 : 0;
    BytesDone = 0;
    fetched[static_cast<std::size_t>(i)] = 0;
    if (FileOk == 0 && fetchAhead.Take(i)) {
      // Fetched ahead and checked against the list: what the fetch would
      // have logged.
      LogText(Message(MSG_LOG_FILE_NEEDS_FETCH));
      SetStatusText(Message(MSG_DOWNLOADING));
      LogTextWithName(Message(MSG_LOG_DOWNLOADING_FILE), file.decodedPath);
      fetched[static_cast<std::size_t>(i)] = 1;
    } else if (FileOk == 0 && !FetchListedFile(file, FetchVariant::kFullList,
                                               &fetched[static_cast<std::size_t>(i)])) {
      return false;
    }
    if (fetched[static_cast<std::size_t>(i)] != 0) ++fetchedCount;
    progress += 100;
    ShowPassProgress(progress / entryCount);
  }
  return true;
}

// The install pass: moves every fetched file from Check/ into ../patcher/.
// Every entry is decoded again, from the same list directory as in the check
// pass, so each resolves to the file that pass staged. A staged copy that has
// gone only fails its entry when the installed file is not current either.
// False when any install failed; the pass still tries every other file.
bool InstallPass(ListReader& list, int entryCount, const std::vector<int>& fetched,
                 int fetchedCount) {
  RewindForPass(list);
  LogText(Message(MSG_LOG_INSTALL_START));
  SetStatusText(Message(MSG_INSTALLING));
  BeginPassProgress(0, false);
  // The staged copies were written without waiting for the disk, which has
  // been writing them back meanwhile; one wait for all of them now, before
  // the first rename installs any.
  std::vector<bool> synced(fetched.size(), false);
  std::string line;
  for (int i = 0; i < entryCount && list.NextEntry(line) == ListLine::kEntry; ++i) {
    ListedFile file;
    const auto index = static_cast<std::size_t>(i);
    // Every entry is decoded, so that the list directory follows the list.
    if (ReadListedFileQuietly(line, false, file) && fetched[index] != 0) {
      synced[index] = SyncStagedFile(file.decodedPath, CheckDirPath);
    }
  }
  RewindForPass(list);
  bool allInstalled = true;
  int progress = 0;
  for (int i = 0; i < entryCount && list.NextEntry(line) == ListLine::kEntry; ++i) {
    ListedFile file;
    if (!ReadListedFile(line, false, file)) return false;
    if (fetched[static_cast<std::size_t>(i)] == 0) continue;
    const std::u16string staged = CheckDirPath + file.decodedPath;
    const bool present = IsRegularFileNoFollow(staged);
    bool settled = !present && IsInstalledFileCurrent(file.decodedPath, file.listDigest);
    if (present && !synced[static_cast<std::size_t>(i)]) {
      LogFileOperationFailure(MSG_MOVE_FAILED, staged, PatcherDirPath + file.decodedPath);
    } else if (!settled && InstallStagedFile(file.decodedPath, CheckDirPath)) {
      NoteInstalledFile(file.decodedPath, file.listDigest);
      settled = true;
    }
    if (!settled) allInstalled = false;
    progress += 100;
    ShowPassProgress(progress / fetchedCount);
  }
  return SyncInstalledDirectories() && allInstalled;
}

}  // namespace

int UpdateFromFullList() {
  DeleteFileForced(UpdateStateFilePath);  // an incremental update's resume state is void now
  BeginDeltaPatches();
  // Every installed file is read: the record is refreshed, never trusted.
  BeginVerifiedRecord(false);

  int entryCount = 0;
  std::vector<int> fetched;
  int fetchedCount = 0;
  {
    if (!CompiledInVerifier().VerifySignedFile(FullListFilePath)) {
      // A list that fails its signature is worth nothing, and a hostile one
      // may be as large as the disk allows: the next run would then lack the
      // room to fetch even the product id.
      DeleteFileForced(FullListFilePath);
      return ReportListUnusable();
    }
    ListReader list(FullListFilePath);
    // The whole list is checked before anything is fetched: one entry whose
    // path would leave its root, or that cannot be read, refuses the list.
    std::vector<bool> superseded;
    if (!list.is_open() || !ValidateListEntries(list, false, &superseded))
      return ReportListUnusable();

    entryCount = CountListEntries(list);
    if (entryCount == 0) return 1;
    if (!PrepareSignedPass(FullListFilePath, false, 0, superseded)) return 0;
    fetched.assign(static_cast<std::size_t>(entryCount), 0);
    RewindForPass(list);
    // Nothing staged by an earlier run is used: every file is checked and
    // fetched afresh. What a failed or killed run left (files, emptied
    // directories, a directory where this list stages a file) goes first.
    RemoveLinkAtRoot(CheckDirPath);
    RemoveDirectoryTree(CheckDirPath);
    CreateParentDirectories(CheckDirPath);

    const bool checked = CheckPass(list, entryCount, superseded, fetched, fetchedCount);
    SaveVerifiedRecord(false);
    if (!checked) {
      // Nothing is resumed from a given-up fetch (the next run starts every
      // transfer afresh), and a hostile body may have filled the disk with
      // it: without the room, the next run could not even fetch the
      // product id.
      DeleteFileForced(TempFilePath);
      return 0;
    }
    const bool installed =
        fetchedCount == 0 || InstallPass(list, entryCount, fetched, fetchedCount);
    SaveVerifiedRecord(true);
    if (!installed) {
      // ../patcher/ does not match the list: recording the version would make
      // the next run trust a tree that is not what it claims to be.
      SetDetailText(u"");
      return 0;
    }
  }

  SetTotalProgress(100);
  const bool recorded = WriteVersionFile();
  DeleteFileForced(TempFilePath);
  // Every staged file is installed now; whatever is left is a leftover.
  RemoveDirectoryTree(CheckDirPath);
  SetDetailText(u"");
  return recorded ? 1 : 0;
}

}  // namespace launcher
