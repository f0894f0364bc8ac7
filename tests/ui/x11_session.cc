#include "x11_session.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <X11/Xlib.h>

extern char** environ;

namespace launcher::testing {
namespace {

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& env) {
  std::vector<std::string> out;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    if (env.count(name) == 0) out.push_back(entry);
  }
  for (const auto& [name, value] : env) {
    if (!value.empty()) out.push_back(name + "=" + value);
  }
  return out;
}

// Whether the root window of `display` carries the property `name`.
bool RootHasProperty(const std::string& display, const char* name) {
  Display* dpy = XOpenDisplay(display.c_str());
  if (dpy == nullptr) return false;
  Atom type = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  const Atom atom = XInternAtom(dpy, name, False);
  const bool found =
      XGetWindowProperty(dpy, DefaultRootWindow(dpy), atom, 0, 1, False, AnyPropertyType, &type,
                         &format, &items, &after, &data) == Success &&
      type != None;
  if (data != nullptr) XFree(data);
  XCloseDisplay(dpy);
  return found;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

XvfbServer::XvfbServer(int width, int height) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  // Xvfb picks a free display number and writes it to -displayfd.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = {
      "Xvfb",      "-displayfd", "3",
      "-screen",   "0",          std::to_string(width) + "x" + std::to_string(height) + "x24",
      "-nolisten", "tcp",        "-noreset"};
  std::vector<char*> argv = Pointers(args);
  const int rc = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    pid_ = -1;
    ::close(fds[0]);
    return;
  }
  std::string number;
  char c;
  while (::read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
  ::close(fds[0]);
  if (!number.empty()) display_ = ":" + number;
}

XvfbServer::~XvfbServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& workingDir,
                           const std::map<std::string, std::string>& env, bool ownGroup)
    : ownGroup_(ownGroup) {
  std::vector<std::string> argStrings = {program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<std::string> envStrings = MergedEnvironment(env);
  std::vector<char*> argv = Pointers(argStrings);
  std::vector<char*> envp = Pointers(envStrings);
  // Started through a fork so the working directory can be set first.
  pid_ = ::fork();
  if (pid_ == 0) {
    if (ownGroup) ::setpgid(0, 0);
    if (::chdir(workingDir.c_str()) != 0) ::_exit(126);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && ownGroup_) {
    // The helpers first, while the group still exists under the leader's id.
    ::kill(-pid_, SIGKILL);
  }
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

int ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!reaped_) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

bool ChildProcess::running() { return WaitForExit(std::chrono::milliseconds(0)) == -1 && !reaped_; }

WindowManager::WindowManager(const std::string& name, const std::string& display,
                             const std::string& scratchDir) {
  const std::map<std::string, std::string> env = {{"DISPLAY", display},
                                                  {"HOME", scratchDir},
                                                  {"XDG_CONFIG_HOME", scratchDir + "/config"},
                                                  {"XDG_CACHE_HOME", scratchDir + "/cache"},
                                                  {"XDG_DATA_HOME", scratchDir + "/data"},
                                                  {"DBUS_SESSION_BUS_ADDRESS", ""},
                                                  {"SESSION_MANAGER", ""},
                                                  {"NO_AT_BRIDGE", "1"}};
  if (name == "openbox") {
    if (::access("/usr/bin/openbox", X_OK) != 0) return;
    process_ = std::make_unique<ChildProcess>(
        "/usr/bin/openbox", std::vector<std::string>{"--sm-disable"}, scratchDir, env, true);
  } else if (name == "xfwm4") {
    if (::access("/usr/bin/xfwm4", X_OK) != 0 || ::access("/usr/bin/dbus-run-session", X_OK) != 0)
      return;
    // xfwm4 reads its settings from xfconf only; the setting is in place
    // before it starts.
    process_ = std::make_unique<ChildProcess>(
        "/usr/bin/dbus-run-session",
        std::vector<std::string>{
            "--", "/bin/sh", "-c",
            "xfconf-query -c xfwm4 -p /general/prevent_focus_stealing -n -t bool -s true && "
            "xfconf-query -c xfwm4 -p /general/activate_action -n -t string -s none && "
            "exec xfwm4 --compositor=off --sm-client-disable"},
        scratchDir, env, true);
  } else {
    return;
  }
  if (!process_->started()) return;
  // The window manager has taken over once it names its check window on the
  // root window.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline && process_->running()) {
    if (RootHasProperty(display, "_NET_SUPPORTING_WM_CHECK")) {
      // Let it finish managing the screen (settings, existing windows).
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      ok_ = process_->running();
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

bool RunXdotool(const std::string& display, const std::vector<std::string>& args) {
  ChildProcess xdotool("/usr/bin/xdotool", args, "/", {{"DISPLAY", display}});
  return xdotool.started() && xdotool.WaitForExit(std::chrono::seconds(10)) == 0;
}

}  // namespace launcher::testing
