// The stand-in patcher ("patcher.exe") used by the tests and the demo. It does
// what the launcher relies on of the real one and tells what it saw:
//   - holds the named lock "QuillmerePatcherExist" while it runs;
//   - shows a window of class "QuillmerePatcherClass" when there is a display;
//   - appends one record line to $FAKE_PATCHER_RECORD (default
//     ./patcher-record.txt in its working directory);
//   - ends after $FAKE_PATCHER_SECONDS (default 2; fractions allowed), on
//     SIGTERM, SIGINT or SIGHUP, or when its window is closed.
//
// The record line is tab-separated key=value fields, in this order:
//   pid=<n> cwd=<dir> argc=<n> arg1=<a> ... lock=held|busy|unavailable
//   window=yes|no [fds=<fd>><target>;...]
// Tabs, newlines and backslashes inside values are written as \t, \n, \\.
// fds (only with FAKE_PATCHER_RECORD_FDS=1) lists the descriptors the
// program was started with, before it opened anything itself.
//
// Exit status: 0 after a normal run, 3 when the lock was not to be had
// (another patcher runs), 2 when the record could not be written.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "patcher_window.h"
#include "platform/named_lock.h"

namespace {

constexpr const char* kLockName = "QuillmerePatcherExist";

std::string Escape(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out += c;
    }
  }
  return out;
}

// The descriptors open at start, each with what it refers to.
std::string OpenDescriptors() {
  std::string out;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return "?";
  const int own = ::dirfd(dir);
  std::vector<int> fds;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::atoi(entry->d_name);
    if (fd != own) fds.push_back(fd);
  }
  ::closedir(dir);
  std::sort(fds.begin(), fds.end());
  for (int fd : fds) {
    std::error_code ec;
    auto target = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
    if (!out.empty()) out += ';';
    out += std::to_string(fd) + ">" + (ec ? std::string("?") : target.string());
  }
  return out;
}

double RunSeconds() {
  const char* text = std::getenv("FAKE_PATCHER_SECONDS");
  if (text == nullptr || *text == '\0') return 2.0;
  char* end = nullptr;
  const double seconds = std::strtod(text, &end);
  if (*end != '\0' || !std::isfinite(seconds) || seconds < 0) return 2.0;
  return seconds;
}

bool AppendRecord(const std::string& line) {
  const char* path = std::getenv("FAKE_PATCHER_RECORD");
  if (path == nullptr || *path == '\0') path = "patcher-record.txt";
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // One write, so that records of patchers running side by side never mix.
  const bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  return ::close(fd) == 0 && ok;
}

// Waits until the run time is over, a termination signal arrives or the
// window is closed.
void Run(double seconds, int signals, fake_patcher::PatcherWindow* window) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(seconds));
  for (;;) {
    if (window != nullptr && !window->HandleEvents()) return;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return;
    pollfd fds[2] = {{signals, POLLIN, 0}, {window ? window->ConnectionFd() : -1, POLLIN, 0}};
    const int timeout = static_cast<int>(std::min<long long>(left.count(), 1000));
    if (::poll(fds, 2, timeout) > 0 && (fds[0].revents & POLLIN) != 0) return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool recordFds = [] {
    const char* v = std::getenv("FAKE_PATCHER_RECORD_FDS");
    return v != nullptr && std::strcmp(v, "1") == 0;
  }();
  const std::string fds = recordFds ? OpenDescriptors() : std::string();

  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGHUP);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  const int signals = signalfd(-1, &stop, SFD_CLOEXEC);

  launcher::NamedLock::Outcome outcome{};
  auto lock = launcher::NamedLock::TryAcquire(kLockName, &outcome);
  std::unique_ptr<fake_patcher::PatcherWindow> window;
  if (lock) window = fake_patcher::PatcherWindow::Show("Patcher");

  std::error_code ec;
  std::string line = "pid=" + std::to_string(::getpid()) +
                     "\tcwd=" + Escape(std::filesystem::current_path(ec).string()) +
                     "\targc=" + std::to_string(argc - 1);
  for (int i = 1; i < argc; ++i) line += "\targ" + std::to_string(i) + "=" + Escape(argv[i]);
  line += "\tlock=";
  line += lock ? "held"
               : (outcome == launcher::NamedLock::Outcome::kHeldElsewhere ? "busy" : "unavailable");
  line += window ? "\twindow=yes" : "\twindow=no";
  if (recordFds) line += "\tfds=" + Escape(fds);
  line += '\n';
  if (!AppendRecord(line)) return 2;
  if (!lock) return 3;

  Run(RunSeconds(), signals, window.get());
  return 0;
}
