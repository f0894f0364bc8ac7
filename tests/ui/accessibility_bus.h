// What a screen reader needs on a Linux desktop, private to one test: a D-Bus
// session bus of its own (dbus-daemon on a socket in the test's directory)
// and the AT-SPI accessibility bus on it (at-spi2-core's bus launcher, which
// the session bus starts on demand and which starts the accessibility bus
// and its registry), with accessibility switched on as a screen reader
// switches it on. Programs started with
// Environment() on top of theirs find it. Stopped, helpers included, when
// the object goes away.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "x11_session.h"

namespace launcher::testing {

class AccessibilityBus {
 public:
  // `dir` must exist and belong to this test; `display` is the X display
  // of the desktop.
  AccessibilityBus(const std::filesystem::path& dir, const std::string& display);
  // False when a part is missing (then the test skips) or did not come up
  // within 10 s.
  bool ok() const { return ok_; }
  static bool Installed();

  // DBUS_SESSION_BUS_ADDRESS, DISPLAY and the private runtime directory.
  std::map<std::string, std::string> Environment() const;

 private:
  std::filesystem::path dir_;
  std::string display_;
  // Leads a process group: the bus launcher and the buses it starts go
  // with it.
  std::unique_ptr<ChildProcess> sessionBus_;
  bool ok_ = false;
};

}  // namespace launcher::testing
