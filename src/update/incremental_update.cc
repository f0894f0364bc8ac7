#include "update/incremental_update.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "crypto/signature_verifier.h"
#include "files/file_ops.h"
#include "files/log.h"
#include "files/paths.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "platform/clock.h"
#include "platform/native_file.h"
#include "seam/status_display.h"
#include "update/delta_fetch.h"
#include "update/digest_lookahead.h"
#include "update/directories.h"
#include "update/fetch_ahead.h"
#include "update/file_fetch.h"
#include "update/file_install.h"
#include "update/full_check.h"
#include "update/full_list_update.h"
#include "update/installed_check.h"
#include "update/list_distance.h"
#include "update/list_entry.h"
#include "update/list_file.h"
#include "update/list_path.h"
#include "update/pass_progress.h"
#include "update/release_list.h"
#include "update/release_trust.h"
#include "update/state_files.h"
#include "update/transfer_plan.h"
#include "update/update_state.h"
#include "update/verified_files.h"

namespace launcher {
namespace {

int ListPercent(int done) { return EntryCount > 0 ? done * 100 / EntryCount : 100; }

// "v-<distance>.inc" for a client `versionsBehind` versions behind.
std::u16string ListName(int versionsBehind) {
  return u"v-" + Widen(std::to_string(ListDistance(versionsBehind))) + u".inc";
}

// What the passes know about each entry, by its position among the entries.
struct EntryMarks {
  std::vector<bool> superseded;  // a later entry names the same file
  std::vector<bool> stagedNow;   // staged by this run's fetch pass

  static bool At(const std::vector<bool>& marks, int index) {
    return index >= 0 && static_cast<std::size_t>(index) < marks.size() &&
           marks[static_cast<std::size_t>(index)];
  }
};

// Restores the resume record. A resume offset that tempfile.dat cannot back
// (a missing or shorter file, a negative number) would make every resumed
// transfer fail; such an offset starts the entry's transfer afresh instead.
// A file that holds another transfer's bytes (after a power cut the record
// can reach the disk while the file's re-creation does not) is resumed all
// the same: the downloader cuts it at the offset, and its digest sends the
// next attempt back to the first byte.
void RestoreResumeState() {
  EntriesDone = 0;
  EntryCount = 0;
  BytesDone = 0;
  StateEntries = 0;
  UpdateStateRecord record;
  if (!ReadUpdateState(UpdateStateFilePath, record)) {
    StateVersion = 0;
    TotalBytes = 0;
    return;
  }
  StateVersion = record.stateVersion;
  StateEntries = record.entriesDone > 0 ? record.entriesDone : 0;
  BytesDone = record.bytesDone;
  TotalBytes = record.totalBytes;
  if (BytesDone < 0 || BytesDone > QueryFileSize(TempFilePath)) BytesDone = 0;
}

// Keeps the list of an interrupted run of the same version, or fetches the
// list for the current distance. The old list is deleted first, so a
// failed fetch can never leave an earlier version's list to be applied under
// the new version number. True when the list was kept.
bool FetchListUnlessResuming() {
  const std::string treePath =
      "patcher/v-" + std::to_string(ListDistance(ServerVersion - LocalVersion)) + ".inc";
  if (StateVersion == ServerVersion && QueryFileSize(IncStateFilePath) >= 0 &&
      HoldsReleaseFile(IncStateFilePath, treePath)) {
    return true;
  }
  StateEntries = 0;
  BytesDone = 0;
  // The staged copies belong to the list being replaced, and no entry of
  // the new one uses them: each is fetched again. They go now, and the sync
  // below puts their removal on the disk before any record of the new
  // version.
  RemoveDirectoryTree(TempDirPath);
  if (AcceptedStatement() != nullptr) {
    FetchReleaseFile(treePath, IncStateFilePath);
  } else {
    // A list fetched while the server published a newer release is
    // replaced by that release's (release_list.h).
    DeleteFileForced(IncStateFilePath);
    FetchListOfRelease([] { return IncrementalListUrl(ServerVersion - LocalVersion); },
                       IncStateFilePath, [](int version) { return version > LocalVersion; });
  }
  // The resume record names its list by the version alone, and from now on
  // it names this one: the list, and the removal of the one before it (and
  // of its staged copies), are on the disk before a record of this version
  // can be. Otherwise a power cut could keep the record and bring back the
  // earlier version's list, which verifies and would be applied under this
  // version.
  const std::filesystem::path list = ToPath(IncStateFilePath);
  SyncFileData(list);
  SyncDirectory(list.parent_path());
  return false;
}

// Verifies the list, fetching it afresh when the kept one fails: a power cut
// can keep the resume record that names a list while the list's own data
// never reached the disk, and such a list would fail every later run.
bool VerifyList(bool kept) {
  if (CompiledInVerifier().VerifySignedFile(IncStateFilePath)) return true;
  if (!kept) return false;
  StateVersion = 0;
  FetchListUnlessResuming();
  return CompiledInVerifier().VerifySignedFile(IncStateFilePath);
}

// Skips the entries whose fetch pass is complete, rebuilding
// CurrentListDir from them. False when the list ends first; `fetchDone` is
// set when the marker came first.
bool SkipFinishedEntries(ListReader& list, bool& fetchDone) {
  std::string line;
  while (EntriesDone < StateEntries) {
    ListLine kind = list.NextEntry(line);
    if (kind == ListLine::kMarker) {
      fetchDone = true;
      return true;
    }
    if (kind != ListLine::kEntry) return false;
    ++EntriesDone;
    ListEntryTokens tokens;
    if (SplitListEntry(line, tokens)) ExpandListPath(tokens.pathToken);
  }
  return true;
}

// A copy staged by an earlier run (fetched ahead before a kill, or staged
// before the server moved on) serves when its content is the listed one.
bool StagedCopyHolds(const ListedFile& file) {
  return IsRegularFileNoFollow(TempDirPath + file.decodedPath) &&
         IsStagedCopyCurrent(TempDirPath, file.decodedPath, file.listDigest);
}

// The fetch pass: fetches and stages every remaining entry but those a later
// entry supersedes. False when an entry is given up (or, defensively, cannot
// be read). Marks the entries it stages in `marks.stagedNow`. Files are
// fetched ahead of the entry in hand (fetch_ahead.h); the pass takes them in
// list order, so the resume record and the log read as if it had fetched
// them one by one.
bool FetchPass(ListReader& list, EntryMarks& marks) {
  LookAheadScope ahead(PlanInstalledChecks(IncStateFilePath, true, EntriesDone, &marks.superseded));
  FetchAhead fetchAhead({IncStateFilePath, true, EntriesDone, marks.superseded, TempDirPath, true});
  std::string line;
  while (list.NextEntry(line) == ListLine::kEntry) {
    ListedFile file;
    if (!ReadListedFile(line, true, file)) return false;
    fetchAhead.At(EntriesDone);
    if (file.operation != '-' && !EntryMarks::At(marks.superseded, EntriesDone)) {
      SetStatusText(Message(MSG_DOWNLOADING));
      CreateParentDirectoriesUnder(PatcherDirPath, file.decodedPath);
      if (IsInstalledFileCurrent(file.decodedPath, file.listDigest)) {
        FileOk = 1;
        BytesDone = 0;
        LogTextWithName(Message(MSG_LOG_FILE_ALREADY_FETCHED), file.decodedPath);
      } else {
        FileOk = 0;
      }
      CreateParentDirectoriesUnder(TempDirPath, file.decodedPath);
      Resuming = BytesDone != 0 ? 1 : 0;
      if (FileOk == 0) {
        if (Resuming == 0 && fetchAhead.Take(EntriesDone)) {
          // Fetched ahead and checked against this list: what the fetch
          // would have logged.
          LogTextWithName(Message(MSG_LOG_FETCHING_FILE), file.decodedPath);
          FileOk = SyncStagedFile(file.decodedPath, TempDirPath) ? 1 : 0;
        } else if (Resuming == 0 && StagedCopyHolds(file)) {
          LogTextWithName(Message(MSG_LOG_FILE_ALREADY_FETCHED), file.decodedPath);
          FileOk = 1;
        }
        if (FileOk == 0 && !FetchListedFile(file, FetchVariant::kIncremental)) return false;
        const auto index = static_cast<std::size_t>(EntriesDone);
        if (index < marks.stagedNow.size()) marks.stagedNow[index] = true;
        SaveVerifiedRecordNowAndThen();
      }
    }
    BytesDone = 0;
    ++EntriesDone;
    SaveUpdateState(ServerVersion, EntriesDone, 0, 0);
    ShowPassProgress(ListPercent(EntriesDone));
  }
  return true;
}

void DropStagedCopy(const std::u16string& path) {
  DeleteFileUnder(TempDirPath, path);
  RemoveEmptyParentDirectories(TempDirPath + path);
}

// Settles one add-or-replace entry of the apply pass. True when the
// installed file holds the listed content afterwards. Otherwise `keep` is
// set when a staged copy with that content is kept for the next run (its
// install failed), and `refetch` when there is none: the fetch pass
// resolves the entry to this same path, so fetching it again produces it.
//
// A copy staged by this run's fetch pass had its digest checked against
// this list moments ago, and the installed file was found out of date: it
// is installed without another look. Any other staged copy may belong to
// another list (a run killed before the server moved on, and the file went
// back to an older content since), so it is installed only when its own
// content proves to be the listed one. An installed file that cannot be
// read is therefore never replaced by anything unchecked.
bool ApplyFile(const ListedFile& file, bool stagedNow, bool& keep, bool& refetch) {
  const std::u16string& path = file.decodedPath;
  keep = false;
  refetch = false;
  const bool staged = IsRegularFileNoFollow(TempDirPath + path);
  if (!(stagedNow && staged)) {
    if (IsInstalledFileCurrent(path, file.listDigest)) {
      FileOk = 1;
      DropStagedCopy(path);  // not needed
      return true;
    }
    if (!staged || !IsStagedCopyCurrent(TempDirPath, path, file.listDigest)) {
      FileOk = 0;
      DropStagedCopy(path);
      refetch = true;
      return false;
    }
  }
  FileOk = 0;
  if (!InstallStagedFile(path, TempDirPath)) {
    keep = true;
    return false;
  }
  NoteInstalledFile(path, file.listDigest);  // checked against this list's digest
  return true;
}

// The apply pass: deletes the "-" entries and installs the staged files,
// leaving superseded entries alone. False when any install failed.
// `refetchFrom` receives the first entry whose fetch pass has to run again,
// or -1. Staged copies that no later run needs are gone afterwards: every
// one but those of entries whose install failed.
bool ApplyPass(ListReader& list, const EntryMarks& marks, int& refetchFrom) {
  RewindForPass(list);
  SetStatusText(Message(MSG_APPLYING));
  EntriesDone = 0;
  BeginPassProgress(0, false);
  refetchFrom = -1;
  bool allInstalled = true;
  // Entries staged by this run are installed without a check.
  std::vector<bool> unchecked = marks.superseded;
  unchecked.resize(std::max(unchecked.size(), marks.stagedNow.size()), false);
  for (std::size_t i = 0; i < marks.stagedNow.size(); ++i) {
    if (marks.stagedNow[i]) unchecked[i] = true;
  }
  LookAheadScope ahead(PlanInstalledChecks(IncStateFilePath, true, 0, &unchecked));
  std::vector<std::u16string> kept;
  std::string line;
  while (list.NextEntry(line) == ListLine::kEntry) {
    ListedFile file;
    if (!ReadListedFile(line, true, file)) return false;
    const std::u16string& path = file.decodedPath;
    if (EntryMarks::At(marks.superseded, EntriesDone)) {
      // The file is what a later entry makes it.
    } else if (file.operation == '-') {
      SetStatusText(Message(MSG_DELETING));
      LogTextWithName(Message(MSG_LOG_DELETING_FILE), path);
      DeleteFileUnder(PatcherDirPath, path);
      ForgetVerifiedFile(path);
      if (StaysInsideRoot(PatcherDirPath, path))
        RemoveEmptyParentDirectories(PatcherDirPath + path);
    } else {
      SetStatusText(Message(MSG_INSTALLING));
      CreateParentDirectoriesUnder(PatcherDirPath, path);
      bool keep = false;
      bool refetch = false;
      if (!ApplyFile(file, EntryMarks::At(marks.stagedNow, EntriesDone), keep, refetch)) {
        allInstalled = false;
        if (keep) kept.push_back(TempDirPath + path);
        if (refetch && refetchFrom < 0) refetchFrom = EntriesDone;
      }
    }
    ++EntriesDone;
    ShowPassProgress(ListPercent(EntriesDone));
  }
  // What lies in temp/ now is a leftover: of an older list, of an entry
  // found current, or of a run killed before the server moved on.
  RemoveFilesUnderExcept(TempDirPath, kept);
  // The installs reach the disk before version.sw says they happened.
  return SyncInstalledDirectories() && allInstalled;
}

// The list for this client's distance is missing or unusable (a publisher
// that keeps no lists that far back, a damaged kept list): the update goes
// on from the signed full list in the same run, so the installation never
// waits for a list that will not come.
int UpdateFromFullListInstead() {
  LogText(Message(MSG_LOG_LIST_UNUSABLE));
  LogTextWithName(Message(MSG_LOG_INCREMENTAL_LIST_UNUSABLE),
                  ListName(ServerVersion - LocalVersion));
  DeleteFileForced(IncStateFilePath);
  if (FetchFullList() == 0) return 0;
  const int updated = UpdateFromFullList();
  // Nothing staged for an incremental list is of use any more.
  if (updated != 0) RemoveDirectoryTree(TempDirPath);
  return updated;
}

enum class ListRun {
  kApplied,     // every entry applied
  kNotApplied,  // an install failed, or a staged copy was lost
  kGivenUp,     // a file could not be fetched, or the list ended early
  kUnusable,    // the list failed its signature check or validation
};

// Verifies inc.sw (`kept`: a list kept from an earlier run, fetched again
// when it fails) and runs its fetch and apply passes. The list is closed on
// return.
ListRun ApplyKeptList(bool kept, int& refetchFrom) {
  if (!VerifyList(kept)) return ListRun::kUnusable;
  ListReader list(IncStateFilePath);
  // Every entry is checked before anything changes: a list that names a
  // path outside its root is refused whole.
  EntryMarks marks;
  if (!list.is_open() || !ValidateListEntries(list, true, &marks.superseded))
    return ListRun::kUnusable;

  EntryCount = CountListEntries(list);
  RewindForPass(list);
  if (!PrepareSignedPass(IncStateFilePath, true, StateEntries, marks.superseded))
    return ListRun::kGivenUp;
  if (EntryCount == 0) return ListRun::kApplied;  // the list is complete as it stands
  bool fetchDone = false;
  marks.stagedNow.assign(static_cast<std::size_t>(EntryCount), false);
  if (!SkipFinishedEntries(list, fetchDone)) return ListRun::kGivenUp;
  BeginPassProgress(ListPercent(EntriesDone), true);
  SetStatusText(Message(MSG_DOWNLOADING));
  // A killed run may have left emptied directories where this list stages
  // a file.
  RemoveLinkAtRoot(TempDirPath);
  RemoveEmptyDirectoryTree(TempDirPath);
  CreateParentDirectories(TempDirPath);
  const bool fetched = fetchDone || FetchPass(list, marks);
  SaveVerifiedRecord(false);
  if (!fetched) return ListRun::kGivenUp;
  bool applied = ApplyPass(list, marks, refetchFrom);
  if (!applied && refetchFrom >= 0) {
    // Copies the resume record counts are gone or were not the listed ones
    // (a power cut kept the record but not their renames; an older list's
    // copy): they are fetched again, and applied, in this same run.
    RewindForPass(list);
    EntriesDone = 0;
    StateEntries = refetchFrom;
    if (SkipFinishedEntries(list, fetchDone) && FetchPass(list, marks)) {
      SaveVerifiedRecord(false);
      applied = ApplyPass(list, marks, refetchFrom);
    }
  }
  SaveVerifiedRecord(true);
  return applied ? ListRun::kApplied : ListRun::kNotApplied;
}

}  // namespace

std::u16string IncrementalListUrl(int versionsBehind) {
  return PatchUrl + ListName(versionsBehind);
}

int RunIncrementalUpdate() {
  BeginVerifiedRecord(true);
  BeginDeltaPatches();
  RestoreResumeState();
  const bool kept = FetchListUnlessResuming();

  int refetchFrom = -1;
  switch (ApplyKeptList(kept, refetchFrom)) {
    case ListRun::kUnusable:
      return UpdateFromFullListInstead();
    case ListRun::kGivenUp:
      return 0;
    case ListRun::kNotApplied:
      // Keep inc.sw and ustate.sw: the next run repeats the apply pass, or
      // fetches again from the first entry whose staged copy was lost.
      if (refetchFrom >= 0) SaveUpdateState(ServerVersion, refetchFrom, 0, 0);
      SetDetailText(u"");
      return 0;
    case ListRun::kApplied:
      break;
  }
  SetTotalProgress(100);
  if (!WriteVersionFile()) {
    SetDetailText(u"");
    return 0;
  }
  DeleteFileForced(UpdateStateFilePath);
  DeleteFileForced(IncStateFilePath);
  // Every staged copy was installed or dropped by the apply pass; the
  // directories they leave, and those a killed run left, go too.
  RemoveDirectoryTree(TempDirPath);
  SetDetailText(u"");
  return 1;
}

}  // namespace launcher
