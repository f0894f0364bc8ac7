// TcpRelay: tcp_relay.py run as a child process on a free loopback port,
// relaying to another loopback port. Tests put it in front of a server to
// count the connections a client opens and the bytes it receives; benchmarks
// use it to charge round trips (see tcp_relay.py).
//
//   TcpRelay relay(nginx.port());
//   ... fetch "http://127.0.0.1:" + std::to_string(relay.port()) + "/..." ...
//   EXPECT_EQ(relay.WaitIdle().connections, 1);
//
// Lifetime: the constructor returns once the relay listens (or throws
// std::runtime_error); the destructor kills it and reaps it; it also dies
// with the creating thread. Not thread-safe.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "support/temp_dir.h"

namespace launcher::testing {

class TcpRelay {
 public:
  struct Options {
    int delayMs = 0;        // one round trip per new connection and per request
    std::int64_t rate = 0;  // bytes a second towards the client, 0: unlimited
  };
  struct Stats {
    std::int64_t connections = 0;  // accepted so far
    std::int64_t open = 0;         // still open
    std::int64_t down = 0;         // bytes towards the client
    std::int64_t up = 0;
  };

  explicit TcpRelay(int targetPort) : TcpRelay(targetPort, Options{}) {}
  TcpRelay(int targetPort, const Options& options);
  ~TcpRelay();
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:PORT/"
  std::string BaseUrl() const;
  // The counters as last written (at every open and close of a connection,
  // and every 50 ms while data flows).
  Stats Read() const;
  // Waits (up to 10 s) until no connection is open, or the counts have not
  // moved for 300 ms (a peer that keeps its connection), then reads.
  Stats WaitIdle() const;

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace launcher::testing
