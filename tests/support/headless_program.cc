#include "support/headless_program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <thread>

#include "files/string_table.h"
#include "files/utf16.h"
#include "support/temp_dir.h"
#include "support/utf16_files.h"
#include "support/windows_build.h"

namespace launcher::testing {

namespace fs = std::filesystem;

namespace {}  // namespace

HeadlessProgram HeadlessProgram::Linux(std::string_view name) {
  HeadlessProgram p;
  p.program_ = fs::path(LAUNCHER_BINARY_DIR) / "tests/integration/engine" / name;
  return p;
}

HeadlessProgram HeadlessProgram::Windows(std::string_view name) {
  HeadlessProgram p;
  p.windows_ = true;
  const fs::path tree = WindowsBuildTree();
  const fs::path program = tree / "tests/windows" / (std::string(name) + ".exe");
  const fs::path patcher = tree / "tools/fake-patcher/patcher.exe";
  for (const fs::path& file : {program, patcher}) {
    if (!fs::exists(file)) {
      std::cerr << file << " is missing: build the windows preset first (make windows)\n";
      return p;
    }
  }
  p.program_ = program;
  p.patcher_ = patcher;
  return p;
}

void HeadlessProgram::InstallPatcher(const fs::path& patcherExe) const {
  fs::create_directories(patcherExe.parent_path());
  if (windows_) {
    fs::copy_file(patcher_, patcherExe, fs::copy_options::overwrite_existing);
    return;
  }
  WriteFileBytes(patcherExe, "#!/bin/sh\necho \"arg1=$1\" >>\"$FAKE_PATCHER_RECORD\"\n");
  fs::permissions(patcherExe, fs::perms::owner_all);
}

fs::path PatcherRecordFor(const fs::path& out) { return out.parent_path() / "patcher-record.txt"; }

pid_t HeadlessProgram::Start(const fs::path& launcherDir, const std::vector<std::string>& switches,
                             const fs::path& out) const {
  if (!ok()) return -1;
  std::vector<std::string> args;
  if (windows_) args.push_back(WineRunScript().string());
  args.push_back(program_.string());
  args.insert(args.end(), switches.begin(), switches.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const fs::path record = PatcherRecordFor(out);
  const std::string recordName = windows_ ? WinePath(record) : record.string();
  // The Linux named locks live in XDG_RUNTIME_DIR; Wine keeps its own.
  const fs::path locks = out.parent_path() / "locks";
  fs::create_directories(locks);
  fs::permissions(locks, fs::perms::owner_all, fs::perm_options::replace);
  const std::string outName = out.string();
  const std::string dir = launcherDir.string();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(outName.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      ::dup2(fd, STDOUT_FILENO);
      ::dup2(fd, STDERR_FILENO);
    }
    const int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    ::setenv("FAKE_PATCHER_RECORD", recordName.c_str(), 1);
    ::setenv("FAKE_PATCHER_SECONDS", "0", 1);
    ::setenv("XDG_RUNTIME_DIR", locks.c_str(), 1);
    // Wine's windows (the stand-in patcher's) go to its null driver.
    if (windows_) ::unsetenv("DISPLAY");
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

int HeadlessProgram::Run(const fs::path& launcherDir, const std::vector<std::string>& switches,
                         const fs::path& out, std::chrono::seconds limit) const {
  // The stand-in patcher runs on detached; the next run must not find it
  // still holding its lock. Each hand-off prints "hide".
  auto count = [](const fs::path& file, const std::string& prefix) {
    std::error_code ec;
    if (!fs::exists(file, ec)) return std::size_t{0};
    const auto lines = TextLines(ReadFileBytes(file));
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](auto& line) { return line.rfind(prefix, 0) == 0; }));
  };
  const fs::path record = PatcherRecordFor(out);
  const std::size_t hides = count(out, "hide");
  const std::size_t starts = count(record, "");
  const pid_t pid = Start(launcherDir, switches, out);
  if (pid < 0) return -1;
  const int status = ReapChild(pid, std::chrono::steady_clock::now() + limit);
  if (count(out, "hide") > hides) {
    for (int i = 0; i < 500 && count(record, "") == starts; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return status;
}

int ReapChild(pid_t pid, std::chrono::steady_clock::time_point deadline) {
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> TextLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

void WriteNumberedStringTable(const fs::path& file) {
  std::vector<std::string> lines;
  for (int slot = 0; slot < 200; ++slot) {
    // The lower line's figures stay out, so it shows the file name alone.
    if (slot == MSG_DETAIL_WITH_FIGURES) continue;
    lines.push_back(std::to_string(slot) + " S" + std::to_string(slot) +
                    (slot < 2 ? " %s => %s" : ""));
  }
  WriteUtf16Lines(file, lines);
}

std::vector<std::string> UpdateLogLines(const fs::path& updateLog) {
  std::u16string text = ReadUtf16Units(updateLog);
  if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
  std::vector<std::string> lines;
  for (const std::string& line : TextLines(ToUtf8(text))) {
    // "Y/M/D HH:MM:SS" then the text.
    const std::size_t space = line.find(' ');
    lines.push_back(space == std::string::npos || space + 9 > line.size() ? line
                                                                          : line.substr(space + 9));
  }
  return lines;
}

}  // namespace launcher::testing
