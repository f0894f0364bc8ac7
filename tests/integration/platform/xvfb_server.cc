#include "integration/platform/xvfb_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

namespace launcher::testing {
namespace {

std::string FindXvfb() {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = dir + "/Xvfb";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

}  // namespace

bool XvfbServer::Available() { return !FindXvfb().empty(); }

XvfbServer::XvfbServer() {
  const std::string program = FindXvfb();
  int fds[2];
  if (program.empty() || ::pipe(fds) != 0) return;
  const std::string fdText = std::to_string(fds[1]);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::close(fds[0]);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::execl(program.c_str(), "Xvfb", "-displayfd", fdText.c_str(), "-nolisten", "tcp", "-screen",
            "0", "640x480x24", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  // Xvfb writes the display number once it accepts connections.
  std::string number;
  pollfd pfd{fds[0], POLLIN, 0};
  while (pid_ > 0 && ::poll(&pfd, 1, 15000) > 0) {
    char c = 0;
    if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
    number += c;
  }
  ::close(fds[0]);
  if (!number.empty()) display_ = ":" + number;
}

XvfbServer::~XvfbServer() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
}

}  // namespace launcher::testing
