// Bringing another program's window to the front: finding a window by its
// class and making it the foreground window in its normal state.
//
// On Windows: FindWindowW, SetForegroundWindow, ShowWindow(SW_SHOWNORMAL).
//
// On Linux: works with the X11 window system (also through XWayland). libX11
// is loaded at run time, so the engine has no link-time display dependency;
// on a machine without it, or without a display, nothing happens. Each call
// opens and closes its own display connection. While it runs, the
// process-wide Xlib error handler is replaced by one that ignores errors
// (windows may vanish while we look at them) and restored afterwards.
//
// Threading: may be called from any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace launcher {

// Windows: finds a top-level window of class `wmClass` (and title `title`
// when that is not empty), brings it to the foreground and shows it
// normally; true when one was found.
//
// Linux: finds a window whose WM_CLASS instance or class part equals
// `wmClass` (and, when `title` is not empty, whose title equals `title`), maps it (showing it
// again if it was hidden or minimised), raises it and asks the window manager
// to activate it. Searches the window manager's client list first and then
// the window tree (a bare X server, or a window that was hidden). True when
// such a window was found and the requests were sent; false without $DISPLAY,
// without libX11, or when no window matches.
bool RaiseWindowByClass(std::string_view wmClass, std::string_view title = {});

// The four below belong to the X11 side only (the Linux entry uses them);
// other platforms do not define them.

// Brings this process's own top-level window `window` (an X11 window id) to
// the front on the user's behalf: asks the window manager to activate it
// with a _NET_ACTIVE_WINDOW message of source indication 2 and `userTime`,
// the time of the user action that asked for it, which window managers with
// focus-stealing prevention grant; then raises it (all a bare X server
// offers). A `userTime` of 0 is replaced by the server's time now. The
// window must already be mapped. False without $DISPLAY or libX11.
bool ActivateWindowForUser(unsigned long window, std::uint32_t userTime);

// The X server's time now: the time stamp of a notification this process
// provokes (a zero-length property append on a small window of its own),
// waited for at most one second. 0 without $DISPLAY or libX11.
std::uint32_t CurrentServerTime();

// Ends the startup notification of `startupId` (a DESKTOP_STARTUP_ID), for a
// program that ends without a window of its own: sends the root window the
// message "remove: ID=<id>" of the freedesktop startup-notification
// protocol, so the desktop stops showing the program as starting (a busy
// cursor, a task-bar entry). False without $DISPLAY, libX11 or an id.
bool CompleteStartupNotification(std::string_view startupId);

// The time stamp a desktop's launcher puts into a startup-notification id
// (DESKTOP_STARTUP_ID), which ends in "_TIME" and the time of the click that
// started the program. 0 when the id carries none.
std::uint32_t StartupIdTime(std::string_view startupId);

}  // namespace launcher
