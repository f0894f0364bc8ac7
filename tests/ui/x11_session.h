// A private X server for one test (Xvfb on a display number it picks itself)
// and child processes started on it. The server is stopped, and every child
// still running is killed, when the objects go away.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
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
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::string& workingDir, const std::map<std::string, std::string>& env);
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
  bool reaped_ = false;
  int status_ = -1;
};

}  // namespace launcher::testing
