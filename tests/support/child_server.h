// Starting a server as a child process on a free loopback port, and knowing
// that what answers on that port is that child.
//
// A port picked here was free a moment ago; the server binds it itself
// later, so another process (another test's server when tests run in
// parallel) may take it in between. A server that cannot bind usually exits
// at once, but nginx, for one, retries for seconds first, and meanwhile the
// other process accepts on the port. So "someone accepts" proves nothing:
// a fixture waits until its own child shows something only it can, such as a
// token made for this start in its answer (AnswerHolds) or the pid file it
// writes once bound, and starts again on a new port when the child ended.
//
//   for (int attempt = 0; attempt < 4; ++attempt) {
//     port = PickFreePort(); token = NewStartToken(); ... fork, exec ...
//     if (WaitUntilServing(pid, 15000, [&] { return AnswerHolds(port, target, token); }) ==
//         StartOutcome::kServing) return;
//     StopChild(pid);
//   }
//
// Threading: plain functions that share nothing; any thread.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace launcher::testing {

// A loopback TCP port that was free a moment ago. Throws std::runtime_error
// when none can be had.
int PickFreePort();

// A loopback port bound, and never listened on, for the life of the object:
// a connection to it is refused, and no other process can listen there
// meanwhile, as one could on a port merely picked free. For "no server".
class RefusingPort {
 public:
  RefusingPort();  // throws std::runtime_error when no port can be bound
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A loopback port that listens and never accepts, its one-place queue taken
// by a connection of its own: a client's connect waits unanswered until its
// time-out, as with a server that is down behind a firewall that drops
// packets. For "a server that does not answer".
class SilentPort {
 public:
  SilentPort();  // throws std::runtime_error when no port can be had
  ~SilentPort();
  SilentPort(const SilentPort&) = delete;
  SilentPort& operator=(const SilentPort&) = delete;
  int port() const { return port_; }

 private:
  int listener_ = -1;
  int filler_ = -1;
  int port_ = 0;
};

// 16 random hexadecimal digits, different for every call.
std::string NewStartToken();

// GETs `target` (a path, or an absolute URL for a proxy) from 127.0.0.1:port
// as HTTP/1.0, waiting a few seconds at most, and tells whether the answer,
// head or body, holds `token`. False when nothing accepts or answers.
bool AnswerHolds(int port, const std::string& target, const std::string& token);

enum class StartOutcome { kServing, kChildEnded, kTimedOut };

// Polls every 10 ms for up to `timeoutMs`: kChildEnded as soon as `child` has
// ended (it is reaped then), kServing as soon as `isOurs()` holds.
StartOutcome WaitUntilServing(pid_t child, int timeoutMs, const std::function<bool()>& isOurs);

// SIGTERM, up to 3 s for the child to end, then SIGKILL; reaps it. Nothing
// for a pid <= 0.
void StopChild(pid_t pid);

}  // namespace launcher::testing
