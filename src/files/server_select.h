// Choice of the patch server for the run. Reads the patcher's settings
// ("../config/patcher/update.cfg", key "UpdateServerSelect") and the server
// list ("../patcher/server/updateserver.txt", lines with a quoted name and a
// quoted base URL) and rebuilds the URL family of paths.h. Never writes
// either file and reports nothing. Worker thread only, once per run, before
// anything is fetched.
#pragma once

namespace launcher {

// Sets ServerBaseUrl to the URL of the selected server when the settings
// name one that the list holds (the last matching list line wins), otherwise
// keeps ServerBaseUrl; PidUrl, PatchUrl and PatchFilesUrl are rebuilt from it
// in every case. RunServers (server_mirrors.h) gets that server first, then
// the mirrors the list names for it.
void SelectUpdateServer();

inline constexpr int kMaxDownloadConnections = 16;

// The HTTP/1.1 connections a run may use at most, from the settings' line
// "DownloadConnections <n>" (the last one; 1 to kMaxDownloadConnections,
// decimal digits only); 0 when there is none or it is not such a number:
// the downloader's own maximum then holds.
int ConfiguredDownloadConnections();

}  // namespace launcher
