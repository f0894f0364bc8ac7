#include "support/fault_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace launcher::testing {
namespace {

// Reads the first line the child prints (its port), waiting at most 20 s:
// python3 can be slow to start on a busy machine.
std::string ReadFirstLine(int fd) {
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (line.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[64];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  return line;
}

void StopChild(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

}  // namespace

FaultServer::FaultServer(std::string_view routesJson, const std::filesystem::path& root) {
  const std::string script = std::string(LAUNCHER_SOURCE_DIR) + "/tests/support/fault_server.py";
  const std::string config = (dir_ / "routes.json").string();
  const std::string records = (dir_ / "requests").string();
  WriteFileBytes(config, routesJson);
  std::vector<std::string> args = {"python3", script, "--config", config, "--record-dir", records};
  if (!root.empty()) {
    args.push_back("--root");
    args.push_back(root.string());
  }
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
  const std::string line = ReadFirstLine(out[0]);
  close(out[0]);
  port_ = std::atoi(line.c_str());
  if (port_ <= 0) {
    StopChild(pid_);
    pid_ = -1;
    throw std::runtime_error("fault server did not start");
  }
}

FaultServer::~FaultServer() { StopChild(pid_); }

std::string FaultServer::BaseUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

std::string FaultServer::Url(std::string_view target) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(target);
}

void FaultServer::Configure(std::string_view routesJson) {
  Control("/__control/config", routesJson);
}

void FaultServer::ClearRequests() { Control("/__control/clear", ""); }

void FaultServer::Control(std::string_view target, std::string_view body) {
  std::string request = "POST " + std::string(target) +
                        " HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                        std::string(body);
  const std::string answer = RawHttpExchange(port_, request);
  if (answer.rfind("HTTP/1.0 200", 0) != 0) {
    throw std::runtime_error("fault server control request failed: " + answer);
  }
}

std::vector<std::string> FaultServer::Requests() const {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir_ / "requests", ec)) {
    if (entry.path().extension() == ".http") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> out;
  for (const auto& f : files) out.push_back(ReadFileBytes(f));
  return out;
}

std::string FaultServer::PatternBytes(std::uint64_t start, std::uint64_t count) {
  std::string out(count, '\0');
  for (std::uint64_t i = 0; i < count; ++i) {
    out[i] = static_cast<char>((start + i) % 251);
  }
  return out;
}

std::string RawHttpExchange(int port, std::string_view request) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    throw std::runtime_error("connect failed");
  }
  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  std::string answer;
  char buf[4096];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    answer.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return answer;
}

}  // namespace launcher::testing
