// The normal update path: the product-id handshake, the comparison of the
// server's version with the installed one, and then either nothing, the
// incremental update, or the full check. Ends by filling both bars.
//
// Runs on the update worker thread, started by the driver when the launcher
// was started without "FullCheck". With release keys the release statement
// is checked right after the product-id handshake (release_trust.h). Creates SharedDownloader; sets
// ServerVersion and LocalVersion. May end the worker by throwing
// WorkerCancelled at any check point.
#pragma once

namespace launcher {

enum class UpdateKind : int {
  UpToDate = 0,              // the server's version equals the installed one
  ServerVersionUnknown = 1,  // the version file could not be fetched or holds 0
  FullCheckNeeded = 2,       // no usable "version.sw", or the server is behind it
  IncrementalNeeded = 3,     // the server's version is above the installed one
};

// Runs the normal path. Returns 0 on every path; the outcome is what the
// status line, the update log and the state files show.
int RunNormalUpdate();

// Fetches the server's version file and reads "version.sw" (which is only
// read, never removed). Sets ServerVersion and LocalVersion (0 when unknown);
// with an accepted release statement ServerVersion is the statement's.
// Needs SharedDownloader.
UpdateKind ChooseUpdateKind();

}  // namespace launcher
