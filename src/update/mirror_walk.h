// Moving from one server to the next (files/server_mirrors.h), the way a
// package manager's mirror list works: per file, and for the product id,
// version and lists, per request from the home server.
//
// A transfer fails "as a server" when no connection could be made (the
// server is then down for the rest of the run, so it costs one connection
// time-out per run, not one per file), when the network failed during it
// (a cut, a stall past the receive time-out), or when the server answered
// 500 or above. Such a failure moves on to the next server at once. Content
// that is wrong (its digest differs, a 404 left the old file, the file would
// not decompress) is tried again on the same server after the usual pause,
// and moves on when it is wrong a second time. A server that runs out of
// time (the pause ending 20 s after the file's first attempt on it) moves on
// too. With one server (the default) nothing ever moves, and every file is
// fetched exactly as before.
//
// Log lines, only when the run has more than one server: every move names
// the server left, why, the server next and what was being fetched
// (MSG_LOG_SERVER_FAILED); a file served by a server other than the home is
// named with its server (MSG_LOG_SERVED_BY).
//
// Worker thread only.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "net/downloader.h"

namespace launcher {

// What a failed attempt says about its server.
struct AttemptVerdict {
  bool serverFailed = false;  // no connection, the network failed, or 5xx
  bool down = false;          // no connection could be made at all
  bool wrongContent = false;  // the server answered, with the wrong bytes
  std::u16string reason;      // for the log: "HTTP 503", "no connection (7)", ...
};

// Judges a transfer by its final state (DOWNLOAD_DONE or DOWNLOAD_FAILED).
// A complete transfer (state 3) says nothing about its server: the caller
// knows whether the bytes were right.
AttemptVerdict JudgeTransfer(const Transfer& transfer);

// The servers the fetch of one file goes through.
class MirrorWalk {
 public:
  // Starts at the first server of RunServers.FileOrder(): the home, unless
  // it is down.
  MirrorWalk();

  // The address of the file at `expandedPath` on the server the walk is at.
  std::u16string FileUrl(std::string_view expandedPath) const;
  // The address of `place`, below the server's "patcher/" (a patch the delta
  // index names), on the server the walk is at.
  std::u16string PatcherUrl(std::string_view place) const;
  std::size_t server() const;

  // After a failed attempt: true when the walk has moved to the next server,
  // where the next attempt starts at once (no pause, its own time limit).
  bool MoveOnAfter(const AttemptVerdict& verdict, std::u16string_view what);
  // The pause after a failure ended past the time limit: true when the walk
  // has moved to a next server, false when none is left.
  bool MoveOnAfterTimeLimit(std::u16string_view what);
  // The attempt succeeded: names the server in the log when it is not the
  // home.
  void Served(std::u16string_view what) const;

 private:
  bool Next(const std::u16string& reason, std::u16string_view what);

  std::vector<std::size_t> order_;  // empty: the URL family alone
  std::size_t at_ = 0;
  bool wrongOnce_ = false;  // this server gave wrong content before
};

// Fetches `url()` (asked again after every move, since it follows the home)
// into `path` as FetchFresh does, from the home server. When the home fails
// as a server, the home moves to the next server not found down and the
// fetch is repeated there. Returns the last transfer's final state.
Transfer FetchFromHome(const std::function<std::u16string()>& url, const std::u16string& path,
                       std::int64_t cap = -1);

// Notes in the log which server the run's version and lists come from (only
// when the run has more than one server).
void LogHomeServer(std::u16string_view what);

}  // namespace launcher
