#!/usr/bin/python3
"""Reads a launcher window through AT-SPI, as a screen reader does.

    atspi_reader.py <application name> <seconds> <ready file>

Listens for name and value changes, creates <ready file>, waits up to
<seconds> for the application's window "Launcher" and reads it every 40 ms
until it has gone. Prints tab-separated lines: "state", the texts and the
bar values, whenever they differ from the last; "event", type, source role
and data, for every change announced. Needs python3-pyatspi and the
session bus of the desktop under test (DBUS_SESSION_BUS_ADDRESS).
"""

import sys
import time

import pyatspi
from gi.repository import GLib

APP = sys.argv[1]
LIMIT = float(sys.argv[2])
READY = sys.argv[3]
POLL_MS = 40

start = time.monotonic()
seen = False
last = None


def on_event(event):
    try:
        role = event.source.getRoleName()
    except Exception:  # the source may be gone already
        role = "?"
    print("event\t%s\t%s\t%s" % (event.type, role, event.any_data), flush=True)


def launcher_window():
    for app in pyatspi.Registry.getDesktop(0):
        if app is None or app.name != APP:
            continue
        for window in app:
            if window is not None and window.name == "Launcher":
                return window
    return None


def read(window):
    texts, values = [], []
    for child in window:
        if child.getRole() == pyatspi.ROLE_PROGRESS_BAR:
            values.append("%g" % child.queryValue().currentValue)
        else:
            texts.append(child.name)
    return "\t".join(["state"] + texts + values)


def poll():
    global seen, last
    try:
        window = launcher_window()
        line = read(window) if window is not None else None
    except Exception:  # the application went away while we looked
        window, line = None, None
    if window is None:
        if seen or time.monotonic() - start > LIMIT:
            pyatspi.Registry.stop()
            return False
        return True
    seen = True
    if line != last:
        print(line, flush=True)
        last = line
    if time.monotonic() - start > LIMIT:
        pyatspi.Registry.stop()
        return False
    return True


pyatspi.Registry.registerEventListener(
    on_event,
    "object:property-change:accessible-value",
    "object:property-change:accessible-name",
)
open(READY, "w").close()
GLib.timeout_add(POLL_MS, poll)
pyatspi.Registry.start()
