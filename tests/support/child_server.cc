#include "support/child_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <thread>

namespace launcher::testing {
namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  return addr;
}

// A socket bound to a free loopback port; its port in `port`.
int BindFreePort(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof addr;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (fd >= 0) close(fd);
    throw std::runtime_error("no free port");
  }
  port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

int PickFreePort() {
  int port = 0;
  close(BindFreePort(port));
  return port;
}

// Without SO_REUSEADDR on this socket no other socket can bind the port.
RefusingPort::RefusingPort() { fd_ = BindFreePort(port_); }
RefusingPort::~RefusingPort() { close(fd_); }

SilentPort::SilentPort() {
  listener_ = BindFreePort(port_);
  // A backlog of 0 leaves room for one connection, which this one takes;
  // the kernel then drops every further handshake.
  const sockaddr_in addr = Loopback(port_);
  filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen(listener_, 0) != 0 || filler_ < 0 ||
      connect(filler_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    throw std::runtime_error("no silent port");
  }
}

SilentPort::~SilentPort() {
  close(filler_);
  close(listener_);
}

std::string NewStartToken() {
  static constexpr char kHex[] = "0123456789abcdef";
  std::random_device device;
  std::mt19937_64 bits((static_cast<std::uint64_t>(device()) << 32) ^ device() ^
                       static_cast<std::uint64_t>(getpid()));
  std::uint64_t value = bits();
  std::string token;
  for (int i = 0; i < 16; ++i, value >>= 4) token += kHex[value & 15];
  return token;
}

bool AnswerHolds(int port, const std::string& target, const std::string& token) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // A foreign server may accept and never answer.
  timeval limit{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  const sockaddr_in addr = Loopback(port);
  std::string answer;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string request = "GET " + target +
                                " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nConnection: close\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
      char chunk[4096];
      for (ssize_t n; answer.size() < 65536 && (n = recv(fd, chunk, sizeof chunk, 0)) > 0;) {
        answer.append(chunk, static_cast<std::size_t>(n));
      }
    }
  }
  close(fd);
  return answer.find(token) != std::string::npos;
}

StartOutcome WaitUntilServing(pid_t child, int timeoutMs, const std::function<bool()>& isOurs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    if (waitpid(child, nullptr, WNOHANG) == child) return StartOutcome::kChildEnded;
    if (isOurs()) return StartOutcome::kServing;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (std::chrono::steady_clock::now() < end);
  return StartOutcome::kTimedOut;
}

void StopChild(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);  // fast shutdown; an nginx master also stops its workers
  for (int i = 0; i < 300; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

}  // namespace launcher::testing
