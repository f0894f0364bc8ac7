// The downloader an update path makes for itself, with the transfer limits
// of this installation. A transfer is abandoned when less than a minimum
// rate arrives on average over a set time (libcurl's low-speed limit); it
// then fails like any broken transfer and is retried or given up as the
// per-file machinery says.
//
// The limits: without release keys one byte a second over 90 s (a plain
// receive time-out); with release keys 1024 bytes a second over 60 s, so a
// server cannot hold the launcher for ever with a trickle. Either may be set
// for a slow link in "../config/patcher/update.cfg" with the lines
// "LowSpeedLimit <bytes per second>" and "LowSpeedTime <seconds>" (the
// last line of each wins; values outside 1..104857600 and 1..3600 are
// ignored). "DownloadConnections <n>" there caps the HTTP/1.1 connections
// (files/server_select.h). Worker thread only.
#pragma once

#include <memory>

#include "net/downloader.h"

namespace launcher {

inline constexpr long kSignedLowSpeedBytesPerSecond = 1024;
inline constexpr long kSignedLowSpeedSeconds = 60;

// The options for this installation's transfers, read from the settings now.
Downloader::Options EngineDownloaderOptions();
std::unique_ptr<Downloader> NewEngineDownloader();

}  // namespace launcher
