// WebServer: one of the common static web servers, or the Squid proxy, as
// the Debian package installs it, run by the test on a free loopback port
// from a configuration the fixture writes into a private directory (nginx
// has its own fixture, NginxServer). What each needs to serve a patch tree
// is what docs/publishing.md lists.
//
//   WebServer apache(WebServer::kApache, servedRoot);
//   ... fetch apache.BaseUrl() + "patcher/version" ...
//
// Squid serves no files: it proxies to whatever address a request names;
// with Options::proxyUser set it asks for those credentials (basic
// authentication through its basic_ncsa_auth helper and an htpasswd file
// written here).
//
// Servers that drop root privileges (Apache, Squid) run as "nobody" when the
// tests run as root; the served tree (and the directories above it) is then
// made readable by everyone.
//
// Lifetime: the constructor returns once the fixture's own server answers
// on its port with a token made for this start (a file servers serve for a
// moment from the served root, the host name Squid puts into its answers),
// starting again on a new port when another process took the port first;
// or it throws std::runtime_error with the server's log. The destructor
// stops the server and reaps it. The child dies with the creating thread
// too. Not thread-safe.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace launcher::testing {

class WebServer {
 public:
  enum Kind { kApache, kLighttpd, kCaddy, kBusybox, kPython, kSquid };
  struct Options {
    // Squid only: "user:password" required from every client.
    std::string proxyUser;
  };

  WebServer(Kind kind, const std::filesystem::path& root) : WebServer(kind, root, Options{}) {}
  WebServer(Kind kind, const std::filesystem::path& root, const Options& options);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  static const char* Name(Kind kind);

  int port() const { return port_; }
  // "http://127.0.0.1:PORT/"
  std::string BaseUrl() const;
  // The server's own log (errors; Squid's access log follows its cache log).
  std::string Log() const;

 private:
  bool Start(const std::filesystem::path& root, const Options& options);

  Kind kind_;
  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace launcher::testing
