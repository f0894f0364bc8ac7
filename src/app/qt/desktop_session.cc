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

void ChooseWindowSystem() {
  const bool x11 = IsSet("DISPLAY");
  const QString chosen = qEnvironmentVariable("QT_QPA_PLATFORM");
  if (!chosen.isEmpty()) {
    if (x11 && chosen.startsWith(QStringLiteral("wayland")) &&
        !chosen.contains(QStringLiteral("xcb"))) {
      qputenv("QT_QPA_PLATFORM", (chosen + QStringLiteral(";xcb")).toLocal8Bit());
    }
    return;
  }
  const bool wayland = IsSet("WAYLAND_DISPLAY") ||
                       qEnvironmentVariable("XDG_SESSION_TYPE") == QStringLiteral("wayland");
  // Qt tries the platforms of the list in turn: a Wayland platform that is
  // missing or cannot reach its compositor gives way to X11.
  if (wayland) {
    qputenv("QT_QPA_PLATFORM", x11 ? "wayland;xcb" : "wayland");
    // The skin is the whole window: Qt's Wayland decorations are never
    // drawn, and asking whether they could be loads the EGL stack.
    if (!IsSet("QT_WAYLAND_DISABLE_WINDOWDECORATION"))
      qputenv("QT_WAYLAND_DISABLE_WINDOWDECORATION", "1");
  } else if (x11) {
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

void EndStartupNotification() {
  // A desktop on Wayland passes a token instead, which the first launcher
  // spends.
  CompleteStartupNotification(qEnvironmentVariable("DESKTOP_STARTUP_ID").toStdString());
}

void BringToFrontForUser(LauncherWindow& window, const ShowRequest& request) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) {
    // Qt's Wayland platform activates with the token it finds here
    // (xdg_activation_v1.activate), and without one asks the compositor for
    // a token of its own, which grants the focus only to a program the user
    // is working in.
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
