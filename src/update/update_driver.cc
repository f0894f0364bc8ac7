#include "update/update_driver.h"

#include <exception>
#include <optional>
#include <string>

#include "files/log.h"
#include "files/paths.h"
#include "files/server_select.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "platform/clock.h"
#include "platform/ini_file.h"
#include "seam/cancel.h"
#include "seam/status_display.h"
#include "update/full_check.h"
#include "update/normal_update.h"
#include "update/patcher_control.h"
#include "update/update_state.h"

namespace launcher {
namespace {

constexpr std::size_t kSeparatorLength = 69;

// A pause that is also a check point: the worker does not go on probing or
// waiting for a window that has gone.
void PauseMs(std::uint32_t milliseconds) {
  SleepMs(milliseconds);
  LeaveCancelPoint();
}

void StartSession() {
  LocalPid = ReadIniInt(ToPath(PidIniPath), "Version", "pid", LocalPid);
  RotateErrorLog();
  const std::u16string separator(kSeparatorLength, u'=');
  WriteLog(separator, 1);
  WriteLog(std::nullopt, 0);
  LogText(Message(MSG_LOG_SESSION_START));
  SetStatusText(u"");
  SelectUpdateServer();
}

// "/update": the patcher that started us must end before its directory is
// changed. True once the lock is free; false when it was held at every try.
bool WaitForPatcherToEnd() {
  SetStatusText(Message(MSG_WAITING_FOR_PATCHER));
  PauseMs(kFirstPatcherWaitMs);
  for (int attempt = 0; attempt < kPatcherTries; ++attempt) {
    const bool running = InstalledPatcherControl().IsRunning();
    PauseMs(kPatcherTryPauseMs);
    if (!running) return true;
  }
  SetStatusText(Message(MSG_PATCHER_STILL_RUNNING));
  SetDetailText(Message(MSG_PATCHER_STILL_RUNNING_DETAIL));
  PauseMs(kStillRunningPauseMs);
  return false;
}

// Normal mode: a running patcher is brought to the front and left alone.
// True when it runs.
bool PatcherIsRunning() {
  PauseMs(kNormalProbeDelayMs);
  if (!InstalledPatcherControl().IsRunning()) return false;
  WriteLog(Message(MSG_LOG_PATCHER_RUNNING), 1);
  WriteLog(std::nullopt, 0);
  InstalledPatcherControl().Raise();
  return true;
}

void HandOffToPatcher() {
  PauseMs(kBeforeHandOffMs);
  if (g_launcherWindow != nullptr) g_launcherWindow->HideForHandOff();
  {
    // The start is one guarded section: a close that came before it means
    // no patcher, and a close while it runs waits for it to finish.
    GuardedSection guard;
    const std::u16string directory = PatcherDirPath.substr(0, PatcherDirPath.size() - 1);
    // Whether it started is not examined; the launcher closes either way.
    InstalledPatcherControl().Start(ToPath(PatcherDirPath + PatcherExeName), {"/update"},
                                    ToPath(directory));
  }
  PauseMs(kAfterPatcherStartMs);
}

void RunWorker(bool fullCheck) {
  StartSession();
  const bool updateMode = g_launcherWindow != nullptr && g_launcherWindow->UpdateMode();
  const bool mayUpdate = updateMode ? WaitForPatcherToEnd() : !PatcherIsRunning();
  if (mayUpdate) {
    if (fullCheck) {
      RunFullCheck(0);
    } else {
      RunNormalUpdate();
    }
    HandOffToPatcher();
  }
  // The last check point: a window that is closing already gets no request.
  LeaveCancelPoint();
  if (g_launcherWindow != nullptr) g_launcherWindow->RequestClose();
}

}  // namespace

int UpdateThreadProc(const int* fullCheck) {
  try {
    RunWorker(fullCheck != nullptr && *fullCheck != 0);
  } catch (const WorkerCancelled&) {
    // Ended at a check point: the window is closing or gone.
  } catch (const std::exception&) {
    // An unexpected failure (out of memory, say) ends the update without a
    // hand-off; the window still closes instead of waiting for the player,
    // unless it is already closing.
    if (WindowClosing.load() == 0 && g_launcherWindow != nullptr) g_launcherWindow->RequestClose();
  }
  return 0;
}

}  // namespace launcher
