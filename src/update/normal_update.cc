#include "update/normal_update.h"

#include <memory>
#include <string>

#include "files/file_ops.h"
#include "files/log.h"
#include "files/paths.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "net/downloader.h"
#include "platform/clock.h"
#include "seam/cancel.h"
#include "seam/status_display.h"
#include "update/directories.h"
#include "update/full_check.h"
#include "update/incremental_update.h"
#include "update/mirror_walk.h"
#include "update/state_files.h"
#include "update/update_state.h"

namespace launcher {
namespace {

void ReportOutcome(int slot) {
  ShowAndLog(slot);
  SleepMs(kOutcomePauseMs);
}

}  // namespace

UpdateKind ChooseUpdateKind() {
  ServerVersion = 0;
  LocalVersion = 0;
  CreateParentDirectories(NewVersionFilePath);
  FetchFromHome([] { return PatchUrl + u"version"; }, NewVersionFilePath);
  ReadNumberFile(NewVersionFilePath, ServerVersion);
  DeleteFileForced(NewVersionFilePath);
  if (ServerVersion == 0) return UpdateKind::ServerVersionUnknown;
  LogHomeServer(u"version " + Widen(std::to_string(ServerVersion)));

  // A missing "version.sw" and one without a number both leave 0, which
  // cannot be trusted.
  ReadNumberFile(VersionFilePath, LocalVersion);
  if (LocalVersion < 1 || ServerVersion < LocalVersion) return UpdateKind::FullCheckNeeded;
  return ServerVersion == LocalVersion ? UpdateKind::UpToDate : UpdateKind::IncrementalNeeded;
}

int RunNormalUpdate() {
  // A close request that came from the window stands; only our own use of
  // CancelRequested starts afresh.
  StartUpdatePathCancelScope();
  SetStatusText(Message(MSG_UPDATE_START));
  LogText(Message(MSG_UPDATE_START));

  NewSharedDownloader();
  // Without a matching product id the bars and the detail line keep what
  // they show.
  if (!ServerProductIdMatches()) return 0;

  switch (ChooseUpdateKind()) {
    case UpdateKind::UpToDate:
      ReportOutcome(MSG_UPDATE_DONE);
      break;
    case UpdateKind::ServerVersionUnknown:
      ReportOutcome(MSG_SERVER_INFO_INVALID);
      break;
    case UpdateKind::FullCheckNeeded:
      SetStatusText(Message(MSG_FULL_CHECK_NEEDED));
      SetDetailText(Message(MSG_FULL_CHECK_NEEDED_DETAIL));
      SleepMs(kOutcomePauseMs);
      RunFullCheck(0);
      break;
    case UpdateKind::IncrementalNeeded:
      ReportOutcome(RunIncrementalUpdate() != 0 ? MSG_UPDATE_DONE : MSG_UPDATE_FAILED);
      break;
  }

  SetDetailText(u"");
  SetTotalProgress(100);
  SetFileProgress(100);
  return 0;
}

}  // namespace launcher
