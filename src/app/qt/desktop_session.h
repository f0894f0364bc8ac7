// How the launcher meets the user's desktop session: the Qt platform it runs
// on, what a second start tells the first about the user's action, and
// bringing the window to the front on the user's behalf.
//
// Threading: main (GUI) thread only.
#pragma once

#include "app/qt/single_instance.h"

namespace launcher {

class LauncherWindow;

// Before the QApplication exists: chooses Qt's window-system platform. In a
// Wayland session (WAYLAND_DISPLAY, or XDG_SESSION_TYPE=wayland) the
// launcher runs natively on Wayland, where the compositor scales it sharply
// and takes it to the front for an activation token; with Xwayland
// ($DISPLAY set too) X11 stays the fallback, for a Qt without its Wayland
// platform or a compositor that cannot be reached. Otherwise, with $DISPLAY,
// X11 (xcb). An explicit QT_QPA_PLATFORM stands (offscreen for tests, vnc,
// ...); one naming Wayland gets the same X11 fallback.
void ChooseWindowSystem();

// Second launcher: what this start knows of the user's action. The time
// stamp comes from the startup-notification id a desktop's launcher passed
// (DESKTOP_STARTUP_ID), else from the X server now; the token from
// XDG_ACTIVATION_TOKEN.
ShowRequest ShowRequestOfThisStart();

// Second launcher, as it ends without a window: tells an X11 desktop that
// started it with a startup-notification id that the start is over.
void EndStartupNotification();

// First launcher: shows `window` in its normal state (also after it was
// hidden for the hand-off) and brings it to the front for `request`. On X11
// the activation is asked for on the user's behalf with the second start's
// time stamp, after the window is mapped. On Wayland Qt asks the compositor
// through xdg-activation, with the second start's token where it had one;
// the compositor decides (see docs/linux-conventions.md).
void BringToFrontForUser(LauncherWindow& window, const ShowRequest& request);

}  // namespace launcher
