// FaultServer: the scriptable HTTP test server (fault_server.py) run as a
// child process on a free loopback port.
//
// Routes are JSON, as documented at the top of fault_server.py, e.g.
//   FaultServer server(R"({"routes": {"/f": {"body_size": 12288}}})");
//   ... download server.Url("/f") ...
//   EXPECT_EQ(server.Requests().size(), 1u);
//
// Every request is recorded byte for byte before its answer is sent, so once
// a client has seen the answer, Requests() holds the request. Bodies made
// with "body_size" are pattern bytes: byte i is i % 251 (PatternBytes).
//
// Lifetime: the constructor returns once the server listens (or throws
// std::runtime_error); the destructor kills the process and reaps it. The
// child also dies with the thread that created it (PR_SET_PDEATHSIG), so a
// crashed test leaves nothing behind. Not thread-safe; use from one thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "support/temp_dir.h"

namespace launcher::testing {

class FaultServer {
 public:
  // `routesJson` as documented above; `root`, when not empty, is served for
  // targets without a route.
  explicit FaultServer(std::string_view routesJson = "{}", const std::filesystem::path& root = {});
  ~FaultServer();
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:PORT/"
  std::string BaseUrl() const;
  // BaseUrl() without its slash + target; target starts with "/".
  std::string Url(std::string_view target) const;

  // Replaces the routes of the running server.
  void Configure(std::string_view routesJson);
  // Raw bytes of every recorded request, in arrival order.
  std::vector<std::string> Requests() const;
  void ClearRequests();

  // The bytes of a "body_size" body from `start` on.
  static std::string PatternBytes(std::uint64_t start, std::uint64_t count);

 private:
  void Control(std::string_view target, std::string_view body);

  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// Sends `request` to 127.0.0.1:port over a fresh connection and returns
// everything the server sent until it closed. Throws on connection failure.
std::string RawHttpExchange(int port, std::string_view request);

}  // namespace launcher::testing
