// A private X server for one test (Xvfb on a display number it picks itself),
// a real window manager on it, and child processes started on it. The
// server is stopped, and every child still running is killed, when the
// objects go away.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace launcher::testing {

class XvfbServer {
 public:
  // Starts Xvfb with one screen of width x height x 24. Check ok().
  XvfbServer(int width, int height);
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  bool ok() const { return !display_.empty(); }
  // ":<n>"
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

class ChildProcess {
 public:
  // Starts `program` with `args` in `workingDir`; `env` entries are set on
  // top of this process's environment (an empty value unsets the name).
  // With `ownGroup` the child leads a process group of its own, and the
  // whole group is killed with it (for programs that start helpers).
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::string& workingDir, const std::map<std::string, std::string>& env,
               bool ownGroup = false);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // Waits up to `timeout` for the child to end; its exit status, or -1 when
  // it is still running (or ended by a signal: -2).
  int WaitForExit(std::chrono::milliseconds timeout);
  bool running();

 private:
  pid_t pid_ = -1;
  bool ownGroup_ = false;
  bool reaped_ = false;
  int status_ = -1;
};

// A window manager managing the screen of `display`: "openbox", or "xfwm4"
// with focus-stealing prevention switched on and told to do nothing when a
// window asks to be activated by itself (set through xfconf on a private
// D-Bus session). Its settings, caches and D-Bus session live under
// `scratchDir`, never in the user's own. Stopped, with every helper it
// started, when the object goes away. Check ok(): false when the program is
// missing or did not take over the screen within 10 s.
class WindowManager {
 public:
  WindowManager(const std::string& name, const std::string& display, const std::string& scratchDir);
  bool ok() const { return ok_; }

 private:
  std::unique_ptr<ChildProcess> process_;
  bool ok_ = false;
};

// Runs xdotool with `args` on `display` and waits for it; true when it ran
// and succeeded.
bool RunXdotool(const std::string& display, const std::vector<std::string>& args);

}  // namespace launcher::testing
