// What screen readers see of the launcher window, which draws everything
// itself: the window ("Launcher") with four children, the upper and the
// lower text line as static texts named by what they show, and the two bars
// as unnamed progress bars with a value from 0 to 100 (every text the
// launcher shows is the installation's, and its table names no bars). Qt hands the tree to the
// platform's accessibility bus (AT-SPI on Linux, where Orca reads it).
//
// Threads: GUI thread only, like all of Qt's accessibility. The values come
// from the window's status state, which the worker fills under its own
// lock; NotifyChanged tells the readers after the window took the changes.
//
// Lifetime: the window's interface is made by Qt through the factory that
// InstallLauncherAccessibility installs, and owned by Qt's cache; it owns
// the four children and unregisters them when it goes.
#pragma once

#include <QString>

namespace launcher {

class LauncherWindow;

// Makes Qt use the launcher's interfaces for its window. Once per process;
// later calls do nothing.
void InstallLauncherAccessibility();

// Sends the accessibility events for the items in `changed` (a mask of
// StatusState items): a name change for a text line, a value change for a
// bar. Nothing when no reader listens.
void NotifyAccessibleChanges(LauncherWindow& window, unsigned changed);

// A status text as a reader should speak it: the mnemonic ampersands gone
// ("A&B" reads "AB", "&&" reads "&").
QString SpokenText(const QString& shown);

}  // namespace launcher
