#include "support/nginx_server.h"

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/child_server.h"

namespace launcher::testing {
namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";

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
  c << "  " << options.extraHttpConfig << "\n";
  c << "  server {\n";
  const bool tls = !options.tlsCertificate.empty() && !options.tlsKey.empty();
  c << "    listen 127.0.0.1:" << port << (tls ? " ssl" : "")
    << (tls && options.http2 ? " http2" : "") << ";\n";
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

// The port comes from PickFreePort, so another process may have taken it by
// the time nginx binds it: Start is retried with a new one then. nginx
// writes its pid file only once it has bound every listening socket, so the
// file naming this child proves that the port is ours (an HTTP check would
// need TLS for a TLS server, and would show in the access log).
bool NginxServer::Start(const std::filesystem::path& root, const Options& options) {
  port_ = PickFreePort();
  const std::filesystem::path pidFile = dir_ / "nginx.pid";
  std::filesystem::remove(pidFile);
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
  const std::string ours = std::to_string(pid_) + "\n";
  const StartOutcome outcome =
      WaitUntilServing(pid_, 10000, [&] { return ReadFileBytes(pidFile) == ours; });
  if (outcome == StartOutcome::kServing) return true;
  if (outcome == StartOutcome::kTimedOut) StopChild(pid_);
  pid_ = -1;  // ended (e.g. the port was taken) or stopped
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
