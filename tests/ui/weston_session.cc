#include "weston_session.h"

#include <unistd.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

#include "support/publish_fixture.h"

namespace launcher::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr char kWeston[] = "/usr/bin/weston";

}  // namespace

bool WestonCompositor::Installed() {
  return ::access(kWeston, X_OK) == 0 && ::access("/usr/bin/weston-debug", X_OK) == 0 &&
         ::access("/usr/bin/weston-screenshooter", X_OK) == 0;
}

WestonCompositor::WestonCompositor(const fs::path& runtimeDir, const std::string& x11Display)
    : runtimeDir_(runtimeDir), socket_("wayland-test-" + std::to_string(::getpid())) {
  if (!Installed()) return;
  std::vector<std::string> args = {"--socket=" + socket_, "--idle-time=0", "--no-config",
                                   // The screenshot and scene interfaces.
                                   "--debug", "--use-pixman",
                                   "--log=" + (runtimeDir.parent_path() / "weston.log").string()};
  if (x11Display.empty()) {
    args.insert(args.end(), {"--backend=headless-backend.so", "--width=" + std::to_string(kWidth),
                             "--height=" + std::to_string(kHeight)});
  } else {
    args.insert(args.end(), {"--backend=x11-backend.so", "--width=" + std::to_string(kWidth),
                             "--height=" + std::to_string(kHeight)});
  }
  std::map<std::string, std::string> env = {{"XDG_RUNTIME_DIR", runtimeDir_.string()},
                                            {"HOME", runtimeDir_.string()},
                                            {"WAYLAND_DISPLAY", ""},
                                            {"WAYLAND_SOCKET", ""},
                                            {"DISPLAY", x11Display}};
  process_ = std::make_unique<ChildProcess>(kWeston, args, runtimeDir_.string(), env, true);
  // Up once the shell has put its panel on the output.
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (std::chrono::steady_clock::now() < deadline && process_->running()) {
    if (fs::exists(runtimeDir_ / socket_) &&
        RunClient("weston-debug scene-graph").find("panel for output") != std::string::npos) {
      ok_ = true;
      return;
    }
    std::this_thread::sleep_for(50ms);
  }
}

std::map<std::string, std::string> WestonCompositor::Environment() const {
  return {{"WAYLAND_DISPLAY", socket_},
          {"XDG_RUNTIME_DIR", runtimeDir_.string()},
          {"DISPLAY", ""},
          {"XDG_SESSION_TYPE", "wayland"}};
}

std::string WestonCompositor::RunClient(const std::string& tool) const {
  // The tools run in the runtime directory, where the screenshooter leaves
  // its file.
  const std::string command = "cd '" + runtimeDir_.string() + "' && exec env XDG_RUNTIME_DIR='" +
                              runtimeDir_.string() + "' WAYLAND_DISPLAY='" + socket_ + "' " + tool;
  return RunProcess("/bin/sh", {"-c", command}).out;
}

std::vector<QRect> WestonCompositor::Toplevels(const std::string& title) const {
  // "View 0 (role xdg_toplevel, ..., top-level window 'Launcher' of ...):"
  // followed by "position: (553, 262) -> (783, 462)".
  std::istringstream scene(RunClient("weston-debug scene-graph"));
  const std::string marker = "top-level window '" + title + "'";
  const std::regex position(R"(position: \((-?\d+), (-?\d+)\) -> \((-?\d+), (-?\d+)\))");
  std::vector<QRect> out;
  bool wanted = false;
  for (std::string line; std::getline(scene, line);) {
    if (line.find("View ") != std::string::npos) wanted = line.find(marker) != std::string::npos;
    std::smatch m;
    if (wanted && std::regex_search(line, m, position)) {
      const QPoint from(std::stoi(m[1]), std::stoi(m[2]));
      out.push_back(QRect(from, QPoint(std::stoi(m[3]) - 1, std::stoi(m[4]) - 1)));
      wanted = false;
    }
  }
  return out;
}

QImage WestonCompositor::Screenshot() const {
  for (const auto& entry : fs::directory_iterator(runtimeDir_)) {
    if (entry.path().filename().string().rfind("wayland-screenshot", 0) == 0)
      fs::remove(entry.path());
  }
  RunClient("weston-screenshooter");
  for (const auto& entry : fs::directory_iterator(runtimeDir_)) {
    if (entry.path().filename().string().rfind("wayland-screenshot", 0) == 0)
      return QImage(QString::fromStdString(entry.path().string()));
  }
  return {};
}

}  // namespace launcher::testing
