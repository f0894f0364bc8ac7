// NginxServer: a real nginx on a free loopback port, serving a directory
// given by the test, started and stopped by the test itself.
//
// The configuration is generated into a private temporary directory (pid
// file, error log, access log, temp paths), nginx runs in the foreground
// (daemon off) as a child process, and works when the tests run as root or
// as a normal user. The access log has one line per request:
//   <request line> TAB <Range header or -> TAB <status> TAB <body bytes sent>
//   TAB <User-Agent or -> TAB <Pragma or ->
// e.g. "GET /a/./f.bin HTTP/1.0\tbytes= 4096 -\t206\t1000\tLiveUpdate Application\tno-cache"
// (the request line names the protocol: "HTTP/2.0" for HTTP/2).
// nginx writes a line after it has sent the answer; use WaitForAccessLog to
// read the lines of requests that have just completed.
//
// Lifetime: the constructor returns once this fixture's own nginx has bound
// its port (its pid file names the child), starting again on a new port
// when another process took the port first, or throws std::runtime_error;
// the destructor stops nginx and reaps it. The
// child dies with the creating thread too. Not thread-safe.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace launcher::testing {

class NginxServer {
 public:
  struct Options {
    bool masterProcess = false;     // on: a master with one worker process
    std::string extraServerConfig;  // directives added to the server block
    // Both set: the server speaks TLS only, with this PEM certificate and key.
    std::filesystem::path tlsCertificate;
    std::filesystem::path tlsKey;
    // With TLS: HTTP/2 offered through ALPN besides HTTP/1.1.
    bool http2 = false;
    // Directives added to the http block (a cache zone, say).
    std::string extraHttpConfig;
  };

  explicit NginxServer(const std::filesystem::path& root);
  NginxServer(const std::filesystem::path& root, const Options& options);
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:PORT/" ("https://" with TLS)
  std::string BaseUrl() const;
  std::filesystem::path AccessLogPath() const { return dir_ / "access.log"; }
  std::filesystem::path ErrorLogPath() const { return dir_ / "error.log"; }

  // Lines of the access log so far.
  std::vector<std::string> AccessLogLines() const;
  // Waits (up to 5 s) until the access log holds at least `count` lines and
  // returns them.
  std::vector<std::string> WaitForAccessLog(std::size_t count) const;

 private:
  bool Start(const std::filesystem::path& root, const Options& options);

  TempDir dir_;
  bool tls_ = false;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace launcher::testing
