#include "accessibility_bus.h"

#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/publish_fixture.h"

namespace launcher::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr char kDbusDaemon[] = "/usr/bin/dbus-daemon";
constexpr char kBusLauncher[] = "/usr/libexec/at-spi-bus-launcher";  // started by the bus
constexpr char kDbusSend[] = "/usr/bin/dbus-send";

template <typename Pred>
bool PollFor(Pred pred, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

}  // namespace

bool AccessibilityBus::Installed() {
  return ::access(kDbusDaemon, X_OK) == 0 && ::access(kBusLauncher, X_OK) == 0 &&
         ::access(kDbusSend, X_OK) == 0;
}

AccessibilityBus::AccessibilityBus(const fs::path& dir, const std::string& display)
    : dir_(dir), display_(display) {
  if (!Installed()) return;
  fs::create_directories(dir_ / "run");
  fs::permissions(dir_ / "run", fs::perms::owner_all, fs::perm_options::replace);
  const fs::path socket = dir_ / "bus";
  sessionBus_ = std::make_unique<ChildProcess>(
      kDbusDaemon,
      std::vector<std::string>{"--session", "--nofork", "--nopidfile",
                               "--address=unix:path=" + socket.string()},
      dir_.string(), Environment(), true);
  if (!PollFor([&] { return fs::exists(socket); }, 10s)) return;
  // Accessibility on (org.a11y.Status.IsEnabled), as Orca switches it on;
  // the session bus starts at-spi2-core's bus launcher for the request,
  // and that starts the accessibility bus and its registry.
  std::vector<std::string> args;
  for (const auto& [name, value] : Environment()) args.push_back(name + "=" + value);
  args.insert(args.end(), {kDbusSend, "--session", "--print-reply", "--dest=org.a11y.Bus",
                           "/org/a11y/bus", "org.freedesktop.DBus.Properties.Set",
                           "string:org.a11y.Status", "string:IsEnabled", "variant:boolean:true"});
  ok_ = PollFor([&] { return RunProcess("/usr/bin/env", args).status == 0; }, 10s);
}

std::map<std::string, std::string> AccessibilityBus::Environment() const {
  // The bus passes its environment on to what it starts (the bus launcher
  // reads its settings through dconf): the user's own directories stay out
  // of it.
  return {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir_ / "bus").string()},
          {"DISPLAY", display_},
          {"HOME", dir_.string()},
          {"XDG_CONFIG_HOME", (dir_ / "config").string()},
          {"XDG_CACHE_HOME", (dir_ / "cache").string()},
          {"XDG_RUNTIME_DIR", (dir_ / "run").string()}};
}

}  // namespace launcher::testing
