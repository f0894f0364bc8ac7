// Process entry of the launcher: single instance, working directory,
// switches, then the launcher window until it closes.
#include <QApplication>
#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "app/qt/desktop_session.h"
#include "app/qt/single_instance.h"
#include "app/qt/termination_signals.h"
#include "app/status_echo.h"
#include "app/working_directory.h"
#include "platform/command_line.h"
#include "ui/qt/launcher_window.h"
#include "update/update_driver.h"

namespace {

// How long the end of the process waits for a worker that was told to stop.
// A worker inside a transfer may need much longer; the process then ends
// without it, as the worker keeps nothing half-written outside a guarded
// section.
constexpr std::chrono::milliseconds kWorkerGrace{200};

int RunUpdate(const int* fullCheck) { return launcher::UpdateThreadProc(fullCheck); }

}  // namespace

int main(int argc, char** argv) {
  using namespace launcher;

  SingleInstance instance;
  if (instance.role() == SingleInstance::Role::kSecond) {
    QCoreApplication app(argc, argv);
    SingleInstance::AskRunningInstanceToShow(ShowRequestOfThisStart());
    EndStartupNotification();
    return 0;
  }

  // The class part of the window's WM_CLASS, by which the launcher window
  // is found; must be set before the first window exists.
  QCoreApplication::setApplicationName(QStringLiteral("QuillmereLauncherClass"));
  ChooseWindowSystem();
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);

  ChangeToExecutableDirectory();
  const Switches switches = ParseSwitches(ProcessCommandLine(argc, argv));

  // Lives until the process ends: the worker may reach it until then.
  auto* window = new LauncherWindow(switches.fullCheck, switches.updateMode);
  window->SetClosedCallback([] { QCoreApplication::quit(); });
  instance.Listen([window](const ShowRequest& request) { BringToFrontForUser(*window, request); });
  // A request to end the process closes the window like its close spot.
  TerminationSignals terminationSignals([window] { window->close(); });
  // The mirror is as long-lived as the window: the worker may reach it until
  // the process ends.
  if (StatusEcho::Requested()) g_launcherWindow = new StatusEcho(*window);
  window->Initialise(RunUpdate);
  window->show();
  app.exec();
  instance.StopListening();

  // A worker blocked in a hand-over to the window is released by running
  // what is still queued; a worker that ends at its next check point is
  // joined. One that does not end in time is left to the end of the process.
  QCoreApplication::sendPostedEvents();
  if (!window->JoinWorker(kWorkerGrace)) {
    std::fflush(nullptr);
    std::_Exit(0);
  }
  delete window;
  return 0;
}
