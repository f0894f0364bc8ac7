#include "update/full_check.h"

#include <memory>
#include <string>

#include "files/file_ops.h"
#include "files/log.h"
#include "files/paths.h"
#include "files/string_table.h"
#include "files/text_file.h"
#include "files/utf16.h"
#include "net/downloader.h"
#include "seam/cancel.h"
#include "seam/status_display.h"
#include "update/directories.h"
#include "update/engine_downloader.h"
#include "update/file_fetch.h"
#include "update/full_list_update.h"
#include "update/mirror_walk.h"
#include "update/release_list.h"
#include "update/release_trust.h"
#include "update/state_files.h"
#include "update/transfer_plan.h"
#include "update/update_state.h"

namespace launcher {
namespace {

bool CanOpenForReading(const std::u16string& path) { return TextModeReader(path).is_open(); }

// Reads the first number of a fetched server file into `value` (unchanged
// when the file holds none) and deletes the file. False when it could not
// be opened.
bool ReadAndDeleteServerFile(const std::u16string& path, int& value) {
  if (!CanOpenForReading(path)) return false;
  ReadNumberFile(path, value);
  DeleteFileForced(path);
  return true;
}

}  // namespace

void ShowAndLog(int slot) {
  const std::u16string& text = Message(static_cast<MessageSlot>(slot));
  SetStatusText(text);
  LogText(text);
}

Transfer FetchFresh(const std::u16string& url, const std::u16string& path, std::int64_t cap) {
  DeleteFileForced(path);
  if (SharedDownloader == nullptr) SharedDownloader = std::make_unique<Downloader>();
  // A body that broke off before its announced length leaves the file at
  // that length with an unwritten tail; the server chooses the length, and
  // the list verification would read all of it. Such a file is no answer.
  // A capped fetch that failed with an error code (the cap among them) is
  // logged and leaves no file.
  bool cutShort = false;
  Transfer last;
  const DownloadCallback watch = [&cutShort, &last, cap](int event, const Transfer& transfer) {
    if (event == DOWNLOAD_DONE || event == DOWNLOAD_FAILED) {
      cutShort = transfer.contentLength > 0 && transfer.offset < transfer.contentLength;
      last = transfer;
    }
    if (event == DOWNLOAD_FAILED && cap >= 0)
      LogText(Message(DownloadErrorSlot(transfer.errorDetail)));
    return 0;
  };
  SharedDownloader->Download(url, path, watch, 0, nullptr, cap);
  if (cutShort || (cap >= 0 && last.state == TRANSFER_ERROR_CODE)) DeleteFileForced(path);
  return last;
}

bool ServerProductIdMatches() {
  // ../config/ may not exist on a fresh installation; without it the fetch
  // could never land and the server would look unreachable for ever.
  CreateParentDirectories(PidFilePath);
  FetchNumberFile([] { return PidUrl; }, PidFilePath);
  int serverPid = 0;
  if (!ReadAndDeleteServerFile(PidFilePath, serverPid)) {
    ShowAndLog(MSG_SERVER_INFO_MISSING);
    return false;
  }
  if (serverPid == 0) {
    ShowAndLog(MSG_SERVER_INFO_INVALID);
    return false;
  }
  if (serverPid != LocalPid) {
    ShowAndLog(MSG_PID_MISMATCH);
    return false;
  }
  return true;
}

int FetchFullList() {
  CreateParentDirectories(NewVersionFilePath);
  FetchNumberFile([] { return PatchUrl + u"version"; }, NewVersionFilePath);
  ReadAndDeleteServerFile(NewVersionFilePath, ServerVersion);
  UseSignedVersion(ServerVersion);
  if (ServerVersion == 0) return 0;

  LogText(Message(MSG_LOG_FETCHING_LIST));
  SetStatusText(Message(MSG_FETCHING_LIST));
  // Deleted first, so that a failed fetch leaves no old list to be trusted;
  // with a release statement, fetched only up to its signed size and kept
  // only with its signed digest; without, dropped when the server named
  // another release once it was here.
  if (AcceptedStatement() != nullptr) {
    FetchReleaseFile("patcher/files.md5", FullListFilePath);
  } else {
    FetchListOfRelease([] { return PatchUrl + u"files.md5"; }, FullListFilePath,
                       [](int version) { return version != 0; });
  }
  LogHomeServer(u"files.md5 " + Widen(std::to_string(ServerVersion)));
  WriteNumberFile(ListVersionFilePath, ServerVersion);
  // Whether the list arrived is for its signature check to tell.
  return 1;
}

int RunFullCheck(int /*unused*/) {
  // A close request that came from the window stands; only our own use of
  // CancelRequested starts afresh.
  StartUpdatePathCancelScope();
  SetStatusText(Message(MSG_FULL_CHECK_START));
  LogText(Message(MSG_FULL_CHECK_START));
  SetTotalProgress(0);

  SharedDownloader = NewEngineDownloader();
  if (!ServerProductIdMatches() || !AcceptReleaseStatement()) return 0;

  if (FetchFullList() == 0) {
    ShowAndLog(MSG_SERVER_INFO_INVALID);
    SetDetailText(u"");
    return 0;
  }
  LogText(Message(MSG_LOG_FULL_CHECK_RUN));
  if (UpdateFromFullList() != 0) {
    ShowAndLog(MSG_FULL_CHECK_DONE);
  } else {
    ShowAndLog(DiskSpaceWasShort() ? MSG_DISK_SPACE_LOW : MSG_FULL_CHECK_FAILED);
  }
  SetDetailText(u"");
  return 0;
}

}  // namespace launcher
