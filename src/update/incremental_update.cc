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
#include "update/digest_lookahead.h"
#include "update/directories.h"
#include "update/file_fetch.h"
#include "update/file_install.h"
#include "update/installed_check.h"
#include "update/list_distance.h"
#include "update/list_entry.h"
#include "update/list_file.h"
#include "update/list_path.h"
#include "update/state_files.h"
#include "update/update_state.h"
#include "update/verified_files.h"

namespace launcher {
namespace {

int ListPercent(int done) { return EntryCount > 0 ? done * 100 / EntryCount : 100; }

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
// So does a file whose length is not the announced one it was created at:
// it belongs to another transfer (after a power cut the record can reach
// the disk while the file's re-creation does not), and the rest of the body
// would not fit into it.
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
  const std::int64_t size = QueryFileSize(TempFilePath);
  if (BytesDone < 0 || BytesDone > size || (TotalBytes > 0 && size != TotalBytes)) BytesDone = 0;
}

// Keeps the list of an interrupted run of the same version, or fetches the
// list for the current distance. The old list is deleted first, so a
// failed fetch can never leave an earlier version's list to be applied under
// the new version number. True when the list was kept.
bool FetchListUnlessResuming() {
  if (StateVersion == ServerVersion && QueryFileSize(IncStateFilePath) >= 0) return true;
  StateEntries = 0;
  BytesDone = 0;
  // The staged copies belong to the list being replaced, and no entry of
  // the new one uses them: each is fetched again. They go now, and the sync
  // below puts their removal on the disk before any record of the new
  // version: after a power cut such a record could otherwise count an entry
  // whose new copy never replaced the old one, and the old content would be
  // installed under the new version.
  RemoveStagingTree(TempDirPath);
  DeleteFileForced(IncStateFilePath);
  if (SharedDownloader == nullptr) SharedDownloader = std::make_unique<Downloader>();
  SharedDownloader->Download(IncrementalListUrl(ServerVersion - LocalVersion), IncStateFilePath,
                             DownloadCallback{}, 0);
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

// The fetch pass: fetches and stages every remaining entry but those a later
// entry supersedes. False when an entry is given up (or, defensively, cannot
// be read). Marks the entries it stages in `marks.stagedNow`.
bool FetchPass(ListReader& list, EntryMarks& marks) {
  LookAheadScope ahead(PlanInstalledChecks(IncStateFilePath, true, EntriesDone, &marks.superseded));
  std::string line;
  while (list.NextEntry(line) == ListLine::kEntry) {
    ListedFile file;
    if (!ReadListedFile(line, true, file)) return false;
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
        if (!FetchListedFile(file, FetchVariant::kIncremental)) return false;
        const auto index = static_cast<std::size_t>(EntriesDone);
        if (index < marks.stagedNow.size()) marks.stagedNow[index] = true;
        SaveVerifiedRecordNowAndThen();
      }
    }
    BytesDone = 0;
    ++EntriesDone;
    SaveUpdateState(ServerVersion, EntriesDone, 0, 0);
    SetTotalProgress(ListPercent(EntriesDone));
  }
  return true;
}

// Settles one add-or-replace entry of the apply pass. True when the
// installed file is current afterwards. `refetch` is set when the staged
// copy is missing and the installed file is not current: the fetch pass
// resolves the entry to this same path, so fetching it again produces the
// copy looked for here.
//
// An entry staged by this run's fetch pass was found out of date moments ago
// and its staged copy checked against the list digest, so it is installed
// without compressing the installed file a second time. Any other entry, and
// one whose staged copy has gone, is first checked: its staged copy may
// belong to an older list, or not be needed at all.
bool ApplyFile(const ListedFile& file, bool stagedNow, bool& refetch) {
  const std::u16string& path = file.decodedPath;
  refetch = false;
  const bool staged = IsRegularFileNoFollow(TempDirPath + path);
  if ((!stagedNow || !staged) && IsInstalledFileCurrent(path, file.listDigest)) {
    FileOk = 1;  // the staged copy, if any, is not needed
    DeleteFileUnder(TempDirPath, path);
    RemoveEmptyParentDirectories(TempDirPath + path);
    return true;
  }
  FileOk = 0;
  if (InstallStagedFile(path, TempDirPath)) {
    if (stagedNow) {
      NoteInstalledFile(path, file.listDigest);  // checked against this list's digest
    } else {
      ForgetVerifiedFile(path);
    }
    return true;
  }
  refetch = !staged;
  return false;
}

// The apply pass: deletes the "-" entries and installs the staged files,
// leaving superseded entries alone. False when any install failed.
// `refetchFrom` receives the first entry whose fetch pass has to run again,
// or -1.
bool ApplyPass(ListReader& list, const EntryMarks& marks, int& refetchFrom) {
  RewindForPass(list);
  SetStatusText(Message(MSG_APPLYING));
  EntriesDone = 0;
  SetTotalProgress(0);
  refetchFrom = -1;
  bool allInstalled = true;
  // Entries staged by this run are installed without a check.
  std::vector<bool> unchecked = marks.superseded;
  unchecked.resize(std::max(unchecked.size(), marks.stagedNow.size()), false);
  for (std::size_t i = 0; i < marks.stagedNow.size(); ++i) {
    if (marks.stagedNow[i]) unchecked[i] = true;
  }
  LookAheadScope ahead(PlanInstalledChecks(IncStateFilePath, true, 0, &unchecked));
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
      bool refetch = false;
      if (!ApplyFile(file, EntryMarks::At(marks.stagedNow, EntriesDone), refetch)) {
        allInstalled = false;
        if (refetch && refetchFrom < 0) refetchFrom = EntriesDone;
      }
    }
    ++EntriesDone;
    SetTotalProgress(ListPercent(EntriesDone));
  }
  // The installs reach the disk before version.sw says they happened.
  return SyncInstalledDirectories() && allInstalled;
}

}  // namespace

std::u16string IncrementalListUrl(int versionsBehind) {
  return PatchUrl + u"v-" + Widen(std::to_string(ListDistance(versionsBehind))) + u".inc";
}

int RunIncrementalUpdate() {
  BeginVerifiedRecord(true);
  RestoreResumeState();
  const bool listVerified = VerifyList(FetchListUnlessResuming());

  int refetchFrom = -1;
  bool applied = false;
  {
    if (!listVerified) return ReportListUnusable();
    ListReader list(IncStateFilePath);
    // Every entry is checked before anything changes: a list that names a
    // path outside its root is refused whole.
    EntryMarks marks;
    if (!list.is_open() || !ValidateListEntries(list, true, &marks.superseded))
      return ReportListUnusable();

    EntryCount = CountListEntries(list);
    RewindForPass(list);
    if (EntryCount > 0) {
      bool fetchDone = false;
      marks.stagedNow.assign(static_cast<std::size_t>(EntryCount), false);
      if (!SkipFinishedEntries(list, fetchDone)) return 0;
      SetTotalProgress(ListPercent(EntriesDone));
      SetStatusText(Message(MSG_DOWNLOADING));
      CreateParentDirectories(TempDirPath);
      const bool fetched = fetchDone || FetchPass(list, marks);
      SaveVerifiedRecord(false);
      if (!fetched) return 0;
      applied = ApplyPass(list, marks, refetchFrom);
      if (!applied && refetchFrom >= 0) {
        // Staged copies that the resume record counts are gone: a power cut
        // kept the record but not their renames. They are fetched again,
        // and applied, in this same run.
        RewindForPass(list);
        EntriesDone = 0;
        StateEntries = refetchFrom;
        if (SkipFinishedEntries(list, fetchDone) && FetchPass(list, marks)) {
          SaveVerifiedRecord(false);
          applied = ApplyPass(list, marks, refetchFrom);
        }
      }
      SaveVerifiedRecord(true);
    } else {
      applied = true;  // nothing to change: the list is complete as it stands
    }
  }

  if (!applied) {
    // Keep inc.sw and ustate.sw: the next run repeats the apply pass, or
    // fetches again from the first entry whose staged copy was lost.
    if (refetchFrom >= 0) SaveUpdateState(ServerVersion, refetchFrom, 0, 0);
    SetDetailText(u"");
    return 0;
  }
  SetTotalProgress(100);
  if (!WriteVersionFile()) {
    SetDetailText(u"");
    return 0;
  }
  DeleteFileForced(UpdateStateFilePath);
  DeleteFileForced(IncStateFilePath);
  // A list that staged nothing leaves temp/ empty, and a run killed between
  // an install and the removal of its emptied directory left that directory
  // behind: the whole tree of empty directories goes, bottom-up.
  RemoveEmptyDirectoryTree(TempDirPath);
  RemoveEmptyParentDirectories(TempDirPath);
  SetDetailText(u"");
  return 1;
}

}  // namespace launcher
