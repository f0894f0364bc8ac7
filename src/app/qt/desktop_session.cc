#include "app/qt/desktop_session.h"

#include <QGuiApplication>
#include <QString>
#include <cstdlib>

#include "platform/window_raise.h"
#include "ui/qt/launcher_window.h"

namespace launcher {
namespace {

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace

void ChooseX11WhenDisplaySet() {
  if (!IsSet("DISPLAY")) return;
  // A session may name Wayland for every Qt program; an explicit other
  // choice (offscreen for tests, vnc, ...) stands.
  const QString chosen = qEnvironmentVariable("QT_QPA_PLATFORM");
  if (chosen.isEmpty() || chosen.startsWith(QStringLiteral("wayland"))) {
    qputenv("QT_QPA_PLATFORM", "xcb");
  }
}

ShowRequest ShowRequestOfThisStart() {
  ShowRequest request;
  request.userTime = StartupIdTime(qEnvironmentVariable("DESKTOP_STARTUP_ID").toStdString());
  if (request.userTime == 0) request.userTime = CurrentServerTime();
  request.activationToken = qgetenv("XDG_ACTIVATION_TOKEN");
  return request;
}

void BringToFrontForUser(LauncherWindow& window, const ShowRequest& request) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) {
    // Qt's Wayland platform activates with the token it finds here.
    if (!request.activationToken.isEmpty()) {
      qputenv("XDG_ACTIVATION_TOKEN", request.activationToken);
    }
    window.BringToFront();
    return;
  }
  if (window.isMinimized()) {
    window.showNormal();
  } else {
    window.show();
  }
  // The map request must reach the server, and so the window manager,
  // before the activation sent on a connection of its own.
  QGuiApplication::sync();
  ActivateWindowForUser(static_cast<unsigned long>(window.winId()), request.userTime);
}

}  // namespace launcher
