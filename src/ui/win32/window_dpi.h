// The pixel density of the monitor a window is on, and the dialog manager
// kept from rescaling the launcher's dialog by itself. The launcher declares
// per-monitor DPI awareness (v2, falling back to per-monitor and to
// system-wide awareness on older systems) in its manifest, so it is shown at
// the monitor's real pixels and scales its skin, shape and text itself.
//
// Window thread; the system functions that only newer systems have are
// looked up at run time, so the program still starts on Windows 7.
#pragma once

#include <windows.h>

namespace launcher::win32 {

// The density of the monitor `hwnd` is on, in dots per inch: from
// GetDpiForWindow (Windows 10 1607), else GetDpiForMonitor (Windows 8.1),
// else the screen's LOGPIXELSY (the system density). Always UsableDpi.
int WindowDpi(HWND hwnd);

// Asks the dialog manager to leave the dialog's size and layout alone when
// its density changes (Windows 10 1703): the window answers
// WM_GETDPISCALEDSIZE and WM_DPICHANGED itself. No effect elsewhere.
void KeepDialogManagerFromRescaling(HWND hwnd);

}  // namespace launcher::win32
