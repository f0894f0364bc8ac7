#include "torture/headless_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace launcher::testing {

HeadlessRun::HeadlessRun(const std::filesystem::path& launcherDir,
                         const std::vector<std::string>& switches,
                         const std::vector<std::string>& environment) {
  const std::string binary =
      std::string(LAUNCHER_BINARY_DIR) + "/tests/integration/engine/launcher-headless";
  std::vector<std::string> args = {binary, "--dir", launcherDir.string()};
  args.insert(args.end(), switches.begin(), switches.end());
  int fds[2];
  if (::pipe(fds) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(fds[1], 1);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, 2);
    ::close(fds[0]);
    for (const std::string& variable : environment) ::putenv(const_cast<char*>(variable.c_str()));
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(binary.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  out_ = fds[0];
}

HeadlessRun::~HeadlessRun() {
  Kill();
  if (out_ >= 0) ::close(out_);
}

HeadlessRun::Read HeadlessRun::ReadAvailable(int waitMs) {
  pollfd p{out_, POLLIN, 0};
  if (::poll(&p, 1, waitMs) <= 0) return Read::kNothing;
  char chunk[4096];
  const ssize_t n = ::read(out_, chunk, sizeof chunk);
  if (n <= 0) return Read::kClosed;
  buffer_.append(chunk, static_cast<std::size_t>(n));
  for (std::size_t nl; (nl = buffer_.find('\n')) != std::string::npos;) {
    lines_.push_back(buffer_.substr(0, nl));
    buffer_.erase(0, nl + 1);
  }
  return Read::kData;
}

bool HeadlessRun::WaitForLine(const std::string& line, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (; seen_ < lines_.size(); ++seen_) {
      if (lines_[seen_] == line) {
        ++seen_;
        return true;
      }
    }
    if (std::chrono::steady_clock::now() >= end || ReadAvailable(20) == Read::kClosed) {
      return false;
    }
  }
}

bool HeadlessRun::WaitExit(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      exited_ = WIFEXITED(status) && WEXITSTATUS(status) == 0;
      while (ReadAvailable(0) == Read::kData) {
      }
      return true;
    }
    if (std::chrono::steady_clock::now() >= end) return false;
    // Keeps the pipe from filling while the process runs.
    if (ReadAvailable(2) == Read::kClosed)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void HeadlessRun::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace launcher::testing
