// The full check: the frame around the update from the full list. Repeats
// the product-id handshake with the server, fetches the server's version
// file and the signed full list, then hands over to UpdateFromFullList, and
// shows and logs each stage and the outcome.
//
// Runs on the update worker thread, started by the driver ("FullCheck") or
// by the normal path when the installed version cannot be trusted. Replaces
// SharedDownloader and may set ServerVersion. May end the worker by throwing
// WorkerCancelled at any check point.
#pragma once

#include "net/downloader.h"

#include <string>

namespace launcher {

// Runs the whole full check. `unused` is not looked at (the callers pass 0).
// Returns 0 on every path; the outcome is what the status line, the update
// log and the state files show.
int RunFullCheck(int unused);

// Fetches the server's version file into ServerVersion (kept as it was when
// the file is missing or holds no number; with an accepted release
// statement, the statement's version), then, when a version is known, the
// full list into "FullList.sw" (with a statement, only up to its signed size
// and kept only with its signed digest) and ServerVersion into "Listver.sw".
// 1 when the list fetch was attempted, 0 when no server version is known.
// Needs SharedDownloader.
int FetchFullList();

// --- Shared with the normal update path -----------------------------------

// The product-id handshake both update paths begin with: fetches PidUrl into
// "../config/pid.sw" (creating its directories), reads and deletes it, and
// compares the number with LocalPid. On a mismatch, a missing file or a
// number that is 0 or absent, shows and logs the matching message and
// returns false.
bool ServerProductIdMatches();

// Fetches `url` into `path` with SharedDownloader, after removing whatever an
// earlier run left there, so that a failed fetch can never pass an old file
// off as the server's answer. Neither the directories nor the outcome are
// handled here; the transfer's final state is returned for whoever judges
// the server by it (mirror_walk.h). With `cap` >= 0 the file never holds
// more than that many bytes, and an answer that would pass it leaves no file.
Transfer FetchFresh(const std::u16string& url, const std::u16string& path, std::int64_t cap = -1);

// Shows `slot` on the status line, then logs it.
void ShowAndLog(int slot);

}  // namespace launcher
