#include "support/nginx_server.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace launcher::testing {
namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";

// A port that was free a moment ago. nginx binds it itself, so another
// process may take it in between; Start is retried with a new port then.
int PickFreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (fd >= 0) close(fd);
    throw std::runtime_error("no free port");
  }
  close(fd);
  return ntohs(addr.sin_port);
}

bool Accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

void StopChild(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);  // fast shutdown; a master also stops its workers
  for (int i = 0; i < 300; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

std::string Config(const std::filesystem::path& dir, const std::filesystem::path& root, int port,
                   const NginxServer::Options& options) {
  std::ostringstream c;
  const std::string d = dir.string();
  c << "daemon off;\n";
  c << "master_process " << (options.masterProcess ? "on" : "off") << ";\n";
  c << "worker_processes 1;\n";
  c << "pid " << d << "/nginx.pid;\n";
  c << "error_log " << d << "/error.log warn;\n";
  // Workers of a root master switch to an unprivileged user by default,
  // which could not read the test's private directories.
  if (geteuid() == 0) {
    const passwd* pw = getpwuid(0);
    const group* gr = getgrgid(0);
    if (pw != nullptr && gr != nullptr) c << "user " << pw->pw_name << " " << gr->gr_name << ";\n";
  }
  c << "events { worker_connections 256; }\n";
  c << "http {\n";
  c << "  default_type application/octet-stream;\n";
  c << "  sendfile on;\n";
  c << "  log_format launcher '$request\\t$http_range\\t$status\\t$body_bytes_sent\\t"
       "$http_user_agent\\t$http_pragma';\n";
  c << "  access_log " << d << "/access.log launcher;\n";
  for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
    c << "  " << t << "_temp_path " << d << "/tmp_" << t << ";\n";
  }
  c << "  server {\n";
  const bool tls = !options.tlsCertificate.empty() && !options.tlsKey.empty();
  c << "    listen 127.0.0.1:" << port << (tls ? " ssl" : "") << ";\n";
  if (tls) {
    c << "    ssl_certificate " << std::filesystem::absolute(options.tlsCertificate).string()
      << ";\n";
    c << "    ssl_certificate_key " << std::filesystem::absolute(options.tlsKey).string() << ";\n";
  }
  c << "    root " << std::filesystem::absolute(root).string() << ";\n";
  c << "    " << options.extraServerConfig << "\n";
  c << "  }\n";
  c << "}\n";
  return c.str();
}

}  // namespace

NginxServer::NginxServer(const std::filesystem::path& root) : NginxServer(root, Options{}) {}

NginxServer::NginxServer(const std::filesystem::path& root, const Options& options)
    : tls_(!options.tlsCertificate.empty() && !options.tlsKey.empty()) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (Start(root, options)) return;
  }
  throw std::runtime_error("nginx did not start: " + ReadFileBytes(ErrorLogPath()));
}

bool NginxServer::Start(const std::filesystem::path& root, const Options& options) {
  port_ = PickFreePort();
  const std::string conf = (dir_ / "nginx.conf").string();
  WriteFileBytes(conf, Config(dir_.path(), root, port_, options));
  std::vector<std::string> args = {
      kNginx, "-p", dir_.path().string(), "-e", (dir_ / "error.log").string(), "-c", conf};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    execv(kNginx, argv.data());
    _exit(127);
  }
  for (int i = 0; i < 1000; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {  // failed, e.g. port taken
      pid_ = -1;
      return false;
    }
    if (Accepts(port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  StopChild(pid_);
  pid_ = -1;
  return false;
}

NginxServer::~NginxServer() { StopChild(pid_); }

std::string NginxServer::BaseUrl() const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/";
}

std::vector<std::string> NginxServer::AccessLogLines() const {
  std::vector<std::string> lines;
  std::istringstream in(ReadFileBytes(AccessLogPath()));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> NginxServer::WaitForAccessLog(std::size_t count) const {
  for (int i = 0; i < 500; ++i) {
    auto lines = AccessLogLines();
    if (lines.size() >= count) return lines;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return AccessLogLines();
}

}  // namespace launcher::testing
