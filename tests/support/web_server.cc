#include "support/web_server.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "support/child_server.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;

// A server that has dropped root must still reach `dir`: every directory
// above it searchable, everything below it readable (`dir` itself writable
// too when the server keeps its files there).
void OpenToEveryone(const fs::path& dir, bool writable = false) {
  using fs::perms;
  for (fs::path p = fs::absolute(dir); p != p.root_path(); p = p.parent_path()) {
    fs::permissions(p, perms::others_exec | perms::group_exec, fs::perm_options::add);
  }
  fs::permissions(dir, writable ? perms::all : perms::others_read, fs::perm_options::add);
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const perms add =
        e.is_directory() ? perms::others_read | perms::others_exec : perms::others_read;
    fs::permissions(e.path(), add, fs::perm_options::add);
  }
}

struct Launch {
  std::vector<std::string> argv;
  std::vector<std::string> env;  // added to the test's environment
};

// `token` is this start's: Squid names itself after it in every answer.
Launch Configure(WebServer::Kind kind, const fs::path& dir, const fs::path& root, int port,
                 const std::string& token, const WebServer::Options& options) {
  const std::string d = dir.string();
  const std::string r = fs::absolute(root).string();
  const std::string p = std::to_string(port);
  const bool root_user = geteuid() == 0;
  std::ostringstream c;
  switch (kind) {
    case WebServer::kApache:
      // The few modules a static tree needs; no compression, no index pages.
      c << "ServerRoot " << d << "\nDefaultRuntimeDir " << d << "\nPidFile " << d
        << "/apache.pid\nListen 127.0.0.1:" << p << "\nServerName 127.0.0.1\n"
        << "LoadModule mpm_event_module /usr/lib/apache2/modules/mod_mpm_event.so\n"
        << "LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so\n"
        << "ErrorLog " << d << "/server.log\nLogLevel warn\nDocumentRoot " << r << "\n"
        << "<Directory />\n  Require all granted\n</Directory>\n";
      if (root_user) c << "User nobody\nGroup nogroup\n";
      WriteFileBytes(dir / "apache2.conf", c.str());
      if (root_user) OpenToEveryone(root);
      return {{"/usr/sbin/apache2", "-X", "-f", d + "/apache2.conf"}, {}};
    case WebServer::kLighttpd:
      c << "server.document-root = \"" << r << "\"\nserver.bind = \"127.0.0.1\"\n"
        << "server.port = " << p << "\nserver.pid-file = \"" << d << "/lighttpd.pid\"\n"
        << "server.errorlog = \"" << d << "/server.log\"\n";
      WriteFileBytes(dir / "lighttpd.conf", c.str());
      return {{"/usr/sbin/lighttpd", "-D", "-f", d + "/lighttpd.conf"}, {}};
    case WebServer::kCaddy:
      c << "{\n\tadmin off\n\tauto_https off\n}\nhttp://127.0.0.1:" << p << " {\n\troot * " << r
        << "\n\tfile_server\n}\n";
      WriteFileBytes(dir / "Caddyfile", c.str());
      return {{"/usr/bin/caddy", "run", "--config", d + "/Caddyfile", "--adapter", "caddyfile"},
              {"HOME=" + d, "XDG_DATA_HOME=" + d, "XDG_CONFIG_HOME=" + d}};
    case WebServer::kBusybox:
      return {{"/usr/bin/busybox", "httpd", "-f", "-p", "127.0.0.1:" + p, "-h", r}, {}};
    case WebServer::kPython:
      return {{"python3", "-m", "http.server", "--bind", "127.0.0.1", "--directory", r, p}, {}};
    case WebServer::kSquid: {
      // A squid that caches nothing and proxies for loopback clients only.
      const fs::path work = dir / "squid";
      fs::create_directories(work);
      const std::string w = work.string();
      c << "http_port 127.0.0.1:" << p << "\npid_filename " << w << "/squid.pid\n"
        << "cache_log " << w << "/cache.log\naccess_log stdio:" << w << "/access.log\n"
        << "cache deny all\ncache_mem 8 MB\ncoredump_dir " << w << "\n"
        << "shutdown_lifetime 0 seconds\npinger_enable off\n"
        << "visible_hostname launcher-" << token << "\n";
      if (root_user) c << "cache_effective_user nobody\n";
      if (!options.proxyUser.empty()) {
        const auto colon = options.proxyUser.find(':');
        const std::string command = "htpasswd -b -c -m " + w + "/htpasswd '" +
                                    options.proxyUser.substr(0, colon) + "' '" +
                                    options.proxyUser.substr(colon + 1) + "' 2>/dev/null";
        if (std::system(command.c_str()) != 0) throw std::runtime_error("htpasswd failed");
        c << "auth_param basic program /usr/lib/squid/basic_ncsa_auth " << w << "/htpasswd\n"
          << "auth_param basic children 1 startup=1 idle=1\n"
          << "auth_param basic realm launcher-test\n"
          << "acl authenticated proxy_auth REQUIRED\nhttp_access allow authenticated\n";
      } else {
        c << "http_access allow localhost\n";
      }
      c << "http_access deny all\n";
      WriteFileBytes(dir / "squid.conf", c.str());
      if (root_user) OpenToEveryone(work, true);
      // A service name of its own: Squids of other tests running at the same
      // time would otherwise share its shared-memory segments.
      return {{"/usr/sbin/squid", "-N", "-n", "launcher" + token, "-f", d + "/squid.conf"}, {}};
    }
  }
  throw std::runtime_error("unknown server");
}

}  // namespace

const char* WebServer::Name(Kind kind) {
  switch (kind) {
    case kApache:
      return "apache";
    case kLighttpd:
      return "lighttpd";
    case kCaddy:
      return "caddy";
    case kBusybox:
      return "busybox";
    case kPython:
      return "python";
    case kSquid:
      return "squid";
  }
  return "?";
}

WebServer::WebServer(Kind kind, const fs::path& root, const Options& options) : kind_(kind) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (Start(root, options)) return;
  }
  throw std::runtime_error(std::string(Name(kind)) + " did not start: " + Log());
}

// The port comes from PickFreePort, so another process may have taken it by
// the time the server binds it: Start is retried with a new one then. The
// server is ready once it answers with this start's token: a file servers
// serve from a file written into the served root for the start (and removed
// after it), the token Squid puts into its answers as its host name.
bool WebServer::Start(const fs::path& root, const Options& options) {
  port_ = PickFreePort();
  const std::string token = NewStartToken();
  const std::string tokenFile = "launcher-ready-" + token + ".txt";
  if (kind_ != kSquid) WriteFileBytes(root / tokenFile, token);
  struct RemoveTokenFile {
    fs::path path;
    ~RemoveTokenFile() {
      std::error_code ec;
      if (!path.empty()) fs::remove(path, ec);
    }
  } removeTokenFile{kind_ != kSquid ? root / tokenFile : fs::path()};
  const std::string target = kind_ == kSquid ? "/" : "/" + tokenFile;
  Launch launch = Configure(kind_, dir_.path(), root, port_, token, options);
  std::vector<char*> argv;
  for (auto& a : launch.argv) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string log = (dir_ / "server.out").string();
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // A watcher between the test and the server: a server that drops root
    // (Apache, Squid) loses its parent-death signal with its credentials, so
    // the watcher keeps one and stops the server when the test goes away,
    // and on SIGTERM.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGCHLD);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const pid_t server = fork();
    if (server == 0) {
      sigprocmask(SIG_UNBLOCK, &signals, nullptr);
      for (auto& e : launch.env) putenv(e.data());
      if (freopen(log.c_str(), "a", stdout) == nullptr || dup2(STDOUT_FILENO, STDERR_FILENO) < 0) {
        _exit(127);
      }
      execvp(argv[0], argv.data());
      _exit(127);
    }
    int signal = 0;
    bool reaped = false;
    if (server > 0 && sigwait(&signals, &signal) == 0 && signal == SIGTERM) {
      kill(server, SIGTERM);
      for (int i = 0; i < 200 && !reaped; ++i) {
        reaped = waitpid(server, nullptr, WNOHANG) == server;
        if (!reaped) usleep(10000);
      }
      if (!reaped) kill(server, SIGKILL);
    }
    if (server > 0 && !reaped) waitpid(server, nullptr, 0);
    _exit(0);
  }
  const StartOutcome outcome =
      WaitUntilServing(pid_, 15000, [&] { return AnswerHolds(port_, target, token); });
  if (outcome == StartOutcome::kServing) return true;
  if (outcome == StartOutcome::kTimedOut) StopChild(pid_);
  pid_ = -1;  // ended (e.g. the port was taken) or stopped
  return false;
}

WebServer::~WebServer() { StopChild(pid_); }

std::string WebServer::BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

std::string WebServer::Log() const {
  std::string text;
  for (const char* name : {"server.out", "server.log", "squid/cache.log", "squid/access.log"}) {
    std::error_code ec;
    if (fs::exists(dir_ / name, ec)) text += ReadFileBytes(dir_ / name);
  }
  return text;
}

}  // namespace launcher::testing
