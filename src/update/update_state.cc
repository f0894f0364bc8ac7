#include "update/update_state.h"

#include "files/log.h"
#include "files/paths.h"
#include "files/server_mirrors.h"
#include "files/server_select.h"
#include "files/string_table.h"
#include "seam/cancel.h"
#include "update/list_path.h"
#include "update/pass_progress.h"
#include "update/release_trust.h"
#include "update/transfer_plan.h"
#include "update/verified_files.h"

namespace launcher {

int LocalPid = 1;
int ServerVersion = 0;
int LocalVersion = 0;
std::unique_ptr<Downloader> SharedDownloader;

int FileOk = 0;
bool DownloadFinished = false;
std::int64_t BytesDone = 0;
std::int64_t TotalBytes = 0;
int EntriesDone = 0;
int EntryCount = 0;
int StateEntries = 0;
int StateVersion = 0;
int Resuming = 0;
std::int64_t KnownTransferTotal = -1;

void ResetEngineStateForTesting() {
  LocalPid = 1;
  ServerVersion = 0;
  LocalVersion = 0;
  SharedDownloader.reset();
  FileOk = 0;
  DownloadFinished = false;
  BytesDone = 0;
  TotalBytes = 0;
  EntriesDone = 0;
  EntryCount = 0;
  StateEntries = 0;
  StateVersion = 0;
  Resuming = 0;
  KnownTransferTotal = -1;
  ForgetReleaseStatement();
  ForgetTransferPlan();
  ResetPassProgress();
  CurrentListDir.clear();
  PendingLogLine.clear();
  SetServerBaseUrl(DefaultServerBaseUrl);
  RunServers.Reset({});
  ResetCancelStateForTesting();
  ClearStringTable();
  ResetVerifiedRecord();
}

}  // namespace launcher
