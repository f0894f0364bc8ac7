// How the launcher meets the user's desktop session: the Qt platform it runs
// on, what a second start tells the first about the user's action, and
// bringing the window to the front on the user's behalf.
//
// Threading: main (GUI) thread only.
#pragma once

#include "app/qt/single_instance.h"

namespace launcher {

class LauncherWindow;

// Before the QApplication exists: with $DISPLAY set, runs on the X11
// platform (xcb), through Xwayland in a Wayland session, unless
// QT_QPA_PLATFORM names a platform other than Wayland. The window's shape,
// its centring, raising and the window manager's move all need X11; a
// Wayland compositor lets a client do none of the first three.
void ChooseX11WhenDisplaySet();

// Second launcher: what this start knows of the user's action. The time
// stamp comes from the startup-notification id a desktop's launcher passed
// (DESKTOP_STARTUP_ID), else from the X server now; the token from
// XDG_ACTIVATION_TOKEN.
ShowRequest ShowRequestOfThisStart();

// First launcher: shows `window` in its normal state (also after it was
// hidden for the hand-off) and brings it to the front for `request`. On X11
// the activation is asked for on the user's behalf with the second start's
// time stamp, after the window is mapped; elsewhere the toolkit's own
// raise and activation are used, with the second start's activation token.
void BringToFrontForUser(LauncherWindow& window, const ShowRequest& request);

}  // namespace launcher
