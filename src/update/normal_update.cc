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
#include "update/engine_downloader.h"
#include "update/full_check.h"
#include "update/incremental_update.h"
#include "update/mirror_walk.h"
#include "update/release_trust.h"
#include "update/state_files.h"
#include "update/transfer_plan.h"
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
  FetchNumberFile([] { return PatchUrl + u"version"; }, NewVersionFilePath);
  ReadNumberFile(NewVersionFilePath, ServerVersion);
  DeleteFileForced(NewVersionFilePath);
  UseSignedVersion(ServerVersion);
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

  SharedDownloader = NewEngineDownloader();
  // Without a matching product id, or a release statement to go on with,
  // the bars and the detail line keep what they show.
  if (!ServerProductIdMatches() || !AcceptReleaseStatement()) return 0;

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
      if (RunIncrementalUpdate() != 0) {
        ReportOutcome(MSG_UPDATE_DONE);
      } else {
        ReportOutcome(DiskSpaceWasShort() ? MSG_DISK_SPACE_LOW : MSG_UPDATE_FAILED);
      }
      break;
  }

  SetDetailText(u"");
  SetTotalProgress(100);
  SetFileProgress(100);
  return 0;
}

}  // namespace launcher
