#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <system_error>

namespace launcher {
namespace {

// Everything below runs in a forked copy of a possibly multi-threaded
// process, so it may only use async-signal-safe calls: no allocation, no
// locks, no stdio.

[[noreturn]] void ReportAndExit(int statusFd, int error) {
  // The parent only needs to know that exec failed and why; a short write
  // to an empty pipe cannot block.
  ssize_t ignored = ::write(statusFd, &error, sizeof error);
  static_cast<void>(ignored);
  ::_exit(127);
}

void CloseRange(unsigned first, unsigned last) {
  if (first > last) return;
  if (::close_range(first, last, 0) == 0) return;
  // Kernels before 5.9: close one by one up to the descriptor limit.
  rlimit limit{};
  rlim_t end = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
  if (end == RLIM_INFINITY || end > 65536) end = 65536;
  for (rlim_t fd = first; fd < end && fd <= last; ++fd) ::close(static_cast<int>(fd));
}

// The grandchild: a clean start for the program, then exec. Descriptors the
// launcher opened without close-on-exec (by a library, say) are closed here
// as well, so that the program never keeps one of our locks alive.
[[noreturn]] void ExecProgram(int statusFd, const char* program, char* const* argv,
                              const char* workingDir) {
  if (statusFd <= STDERR_FILENO) {
    // Out of the way of the standard descriptors set up below.
    const int moved = ::fcntl(statusFd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) ReportAndExit(statusFd, errno);
    statusFd = moved;
  }
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);

  if (::chdir(workingDir) != 0) ReportAndExit(statusFd, errno);
  int null = ::open("/dev/null", O_RDWR);
  if (null < 0) ReportAndExit(statusFd, errno);
  for (int target = STDIN_FILENO; target <= STDERR_FILENO; ++target) {
    if (::dup2(null, target) < 0) ReportAndExit(statusFd, errno);
  }
  if (null > STDERR_FILENO) ::close(null);
  const auto status = static_cast<unsigned>(statusFd);
  CloseRange(STDERR_FILENO + 1, status - 1);
  CloseRange(status + 1, UINT_MAX);

  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execv(program, argv);
  ReportAndExit(statusFd, errno);
}

// The intermediate child: a new session, then the grandchild, then gone, so
// that the program is adopted by init (or the nearest subreaper) and never
// becomes a zombie of ours.
[[noreturn]] void Detach(int statusFd, const char* program, char* const* argv,
                         const char* workingDir) {
  ::setsid();
  pid_t pid = ::fork();
  if (pid < 0) ReportAndExit(statusFd, errno);
  if (pid == 0) ExecProgram(statusFd, program, argv, workingDir);
  ::_exit(0);
}

}  // namespace

bool StartDetachedProcess(const std::filesystem::path& program,
                          const std::vector<std::string>& args,
                          const std::filesystem::path& workingDir) {
  // Everything the children need is built before the fork. A relative
  // program path names a file seen from our working directory, not from the
  // one the program starts in.
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(program, ec);
  if (ec) return false;
  const std::string programText = absolute.string();
  const std::string dirText = workingDir.string();
  std::vector<std::string> argText;
  argText.reserve(args.size() + 1);
  argText.push_back(programText);
  argText.insert(argText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argText) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int status[2];
  if (::pipe2(status, O_CLOEXEC) != 0) return false;

  // No handler of ours may run in the children before exec has reset them.
  sigset_t all;
  sigset_t old;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  pid_t pid = ::fork();
  if (pid == 0) Detach(status[1], programText.c_str(), argv.data(), dirText.c_str());
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ::close(status[1]);
  if (pid < 0) {
    ::close(status[0]);
    return false;
  }
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }

  // The pipe closes on a successful exec; otherwise it carries the error.
  int error = 0;
  ssize_t n;
  do {
    n = ::read(status[0], &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  ::close(status[0]);
  return n == 0;
}

std::filesystem::path ExecutablePath() {
  std::error_code ec;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return path;
}

}  // namespace launcher
