#include "support/tcp_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace launcher::testing {
namespace {

std::int64_t Field(const std::string& json, const std::string& name) {
  std::smatch m;
  const std::regex re("\"" + name + "\": (-?[0-9]+)");
  return std::regex_search(json, m, re) ? std::stoll(m[1]) : -1;
}

}  // namespace

TcpRelay::TcpRelay(int targetPort, const Options& options) {
  const std::string script = std::string(LAUNCHER_SOURCE_DIR) + "/tests/support/tcp_relay.py";
  std::vector<std::string> args = {"python3",       script,
                                   "--target-port", std::to_string(targetPort),
                                   "--stats",       (dir_ / "stats.json").string(),
                                   "--delay-ms",    std::to_string(options.delayMs),
                                   "--rate",        std::to_string(options.rate)};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(out[1], STDOUT_FILENO);
    execvp("python3", argv.data());
    _exit(127);
  }
  close(out[1]);
  std::string line;
  pollfd p{out[0], POLLIN, 0};
  while (line.find('\n') == std::string::npos && poll(&p, 1, 20000) > 0) {
    char buf[32];
    const ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  port_ = std::atoi(line.c_str());
  if (port_ <= 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    throw std::runtime_error("tcp relay did not start");
  }
}

TcpRelay::~TcpRelay() {
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::string TcpRelay::BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

TcpRelay::Stats TcpRelay::Read() const {
  const std::string json = ReadFileBytes(dir_ / "stats.json");
  return {Field(json, "connections"), Field(json, "open"), Field(json, "down"), Field(json, "up")};
}

TcpRelay::Stats TcpRelay::WaitIdle() const {
  Stats s = Read();
  int unchanged = 0;
  for (int i = 0; i < 1000 && s.open != 0 && unchanged < 30; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const Stats again = Read();
    unchanged = again.down == s.down && again.up == s.up ? unchanged + 1 : 0;
    s = again;
  }
  return s;
}

}  // namespace launcher::testing
