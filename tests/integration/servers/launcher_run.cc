#include "integration/servers/launcher_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Waits for `pid` until `deadline`; kills it past that. Exit status or -1.
int Reap(pid_t pid, Clock::time_point deadline) {
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

LauncherRun::LauncherRun() : launcher_(MakeInstallLayout(dir_.path())) {
  WriteFileBytes(dir_ / "patcher" / "server" / "pid.ini", "[Version]\npid=1\n");
  const fs::path patcher = dir_ / "patcher" / "patcher.exe";
  WriteFileBytes(patcher, "#!/bin/sh\nexit 0\n");
  fs::permissions(patcher, fs::perms::owner_all);
  WriteUtf16Lines(dir_ / "config" / "patcher" / "update.cfg", {"UpdateServerSelect test"});
  fs::create_directories(dir_ / "locks");
  fs::permissions(dir_ / "locks", fs::perms::owner_all, fs::perm_options::replace);
}

void LauncherRun::UseServer(const std::string& baseUrl) {
  WriteUtf16Lines(dir_ / "patcher" / "server" / "updateserver.txt",
                  {"\"test\" \"" + baseUrl + "\""});
}

pid_t LauncherRun::Spawn(bool fullCheck) {
  std::vector<std::string> args = {LAUNCHER_HEADLESS, "--dir", launcher_.string()};
  if (fullCheck) args.push_back("FullCheck");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string out = (dir_ / "out.txt").string();
  const std::string locks = (dir_ / "locks").string();
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      dup2(fd, STDOUT_FILENO);
      dup2(fd, STDERR_FILENO);
    }
    setenv("XDG_RUNTIME_DIR", locks.c_str(), 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

int LauncherRun::Run(bool fullCheck, int limitSeconds) {
  const pid_t pid = Spawn(fullCheck);
  if (pid < 0) return -1;
  return Reap(pid, Clock::now() + std::chrono::seconds(limitSeconds));
}

LauncherRun::Killed LauncherRun::RunKilledAtAThird(std::int64_t minTotal) {
  Killed result;
  const pid_t pid = Spawn(false);
  if (pid < 0) return result;
  const fs::path record = dir_ / "config" / "patcher" / "ustate.sw";
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < deadline) {
    long long version = 0, entries = 0, done = 0, total = 0;
    std::error_code ec;
    if (fs::exists(record, ec) &&
        std::sscanf(ReadFileBytes(record).c_str(), "%lld %lld %lld %lld", &version, &entries, &done,
                    &total) == 4 &&
        total > minTotal && done * 3 >= total) {
      kill(pid, SIGKILL);
      result = {true, done, total};
      break;
    }
    if (waitpid(pid, nullptr, WNOHANG) == pid) return result;  // ended on its own
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Reap(pid, Clock::now());
  // The record may have moved on between the look and the kill.
  long long version = 0, entries = 0, done = 0, total = 0;
  if (result.killed && std::sscanf(ReadFileBytes(record).c_str(), "%lld %lld %lld %lld", &version,
                                   &entries, &done, &total) == 4) {
    result.bytesDone = done;
    result.totalBytes = total;
  }
  return result;
}

Release LauncherRun::Installed() const {
  Release tree = ReadTree(dir_ / "patcher", "server");
  tree.erase("patcher.exe");
  return tree;
}

std::string LauncherRun::InstalledVersion() const {
  std::error_code ec;
  const fs::path file = dir_ / "config" / "patcher" / "version.sw";
  return fs::exists(file, ec) ? ReadFileBytes(file) : std::string();
}

std::string LauncherRun::Output() const { return ReadFileBytes(dir_ / "out.txt"); }

}  // namespace launcher::testing
