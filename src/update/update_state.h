// The shared update state: the numbers and the downloader that the update
// paths (normal path, full check, incremental update, update from the full
// list) and the per-file machinery hand to one another.
//
// One instance per process, living from static initialisation to exit. Only
// the update worker thread reads or writes it. Byte counts are 64-bit even
// though the state file stores them as plain decimal numbers.
//
// This header is also the list of every process-wide object of the engine,
// wherever it lives (the lower layers cannot include this one):
//
//   written by the worker (reset by ResetEngineStateForTesting)
//     the fields below                                  update/update_state.h
//     CurrentListDir                                    update/list_path.h
//     the accepted release statement and its manifest   update/release_trust.h
//     the transfer plan of a pass                       update/transfer_plan.h
//     PendingLogLine                                    files/log.h
//     the figures of the pass in hand                   update/pass_progress.h
//     ServerBaseUrl, PidUrl, PatchUrl, PatchFilesUrl    files/paths.h
//     RunServers (the run's servers and mirrors)        files/server_mirrors.h
//   shared by the two threads (reset too)
//     CancelRequested, WorkInProgress, WindowClosing    seam/cancel.h
//   filled by the window thread before the worker starts (emptied too)
//     g_messages                                        files/string_table.h
//   installed seams, set by main or by a test's scoped setter, never reset
//     g_launcherWindow (the display)                    seam/status_display.h
//     the engine clock (SetEngineClock)                 platform/clock.h
//     the patcher control (SetPatcherControl)           update/patcher_control.h
//     the release keys (SetReleaseKeys)                 crypto/release_keys.h
//   constants: the path table (files/paths.h) and the compiled-in key.
#pragma once

#include <cstdint>
#include <memory>

#include "net/downloader.h"

namespace launcher {

// --- Set by the driver and the normal path --------------------------------

// Product id of the installation ("pid" of section "Version" in pid.ini).
extern int LocalPid;
// Version the server publishes; 0 while unknown.
extern int ServerVersion;
// Version of the installed patcher directory (version.sw).
extern int LocalVersion;
// Created anew at the start of each update path (NewEngineDownloader,
// update/engine_downloader.h); a replaced downloader is not used again.
// Owned here; the last one lives until the process ends.
extern std::unique_ptr<Downloader> SharedDownloader;

// --- Engine state of the per-file machinery -------------------------------

// 1 when the entry in hand is settled (current, or fetched and staged).
extern int FileOk;
// Set by a progress handler at DOWNLOAD_DONE, cleared at DOWNLOAD_FAILED and
// before each attempt.
extern bool DownloadFinished;
// Resume offset of the next attempt: the offset of the last progress event,
// 0 once a complete transfer has been checked.
extern std::int64_t BytesDone;
// Announced length of the transfer in hand (last DOWNLOAD_STARTED, or the
// resume record); 0 when unknown.
extern std::int64_t TotalBytes;
// Entries handled so far in the current pass of the incremental update
// (comment lines not counted); written into the resume record.
extern int EntriesDone;
// Entries of the incremental list (lines before the marker, not comments).
extern int EntryCount;
// Resume record fields: entries whose fetch pass is complete, and the server
// version the kept incremental list belongs to.
extern int StateEntries;
extern int StateVersion;
// 1 when the current entry's fetch starts from a non-zero BytesDone.
extern int Resuming;

// --- What the window shows of the transfers (update/pass_progress.h) -------

extern std::int64_t KnownTransferTotal;  // bytes the current pass will transfer, from a signed
                                         // statement; -1 when unknown

// Puts everything the list above says is reset back to its start value and
// drops the downloader: what a test gets as a fresh process. Not while a
// worker runs. Tests use it through testing::ScopedEngineState.
void ResetEngineStateForTesting();

}  // namespace launcher
