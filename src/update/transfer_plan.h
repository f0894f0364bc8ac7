// The plan of one pass over a list when a release statement is in use:
// before the first file is fetched, the manifest is loaded and must name
// every file the list adds; the files the pass will transfer are worked out
// with their signed sizes, which give KnownTransferTotal (update_state.h)
// and the room the pass needs on the disk. A pass that would not fit is not
// started.
//
// The plan is refined as the pass learns: a planned file found current
// leaves the total, an unplanned one that turns out to need a transfer
// joins it. Worker thread only; the plan is process-wide engine state,
// replaced by each PrepareSignedPass and dropped by ForgetTransferPlan.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "update/release_manifest.h"

namespace launcher {

// Room kept free beyond the files themselves: the logs, the state files and
// the record of verified files.
inline constexpr std::int64_t kSpareDiskBytes = 16 * 1024 * 1024;

// For the list at `listPath`, verified and validated, from entry
// `skipEntries` on, leaving the entries `superseded` marks alone. Without an
// accepted statement: true, nothing planned. With one: loads the manifest
// and plans; false once the failure has been logged and shown (an unusable
// manifest or a list naming a file the manifest does not: the list is
// unusable; too little room: MSG_DISK_SPACE_LOW). CurrentListDir is left
// as it was.
//
// An incremental pass plans every file it adds, less the bytes already in
// "tempfile.dat" when it resumes one. The full check plans the files whose
// installed copy is missing or has another size than the manifest gives;
// one of the same size that differs joins the plan when its fetch starts.
// The room needed is the installed sizes of the planned files, the largest
// compressed one ("tempfile.dat") and kSpareDiskBytes, on the file systems
// of ../config/patcher/ and ../patcher/.
bool PrepareSignedPass(const std::u16string& listPath, bool incremental, int skipEntries,
                       const std::vector<bool>& superseded);

// True when the last PrepareSignedPass stopped for want of room (for the
// outcome message of the update path). Cleared by the next one.
bool DiskSpaceWasShort();

// The manifest's entry for a listed file, when a manifest is loaded and names it.
bool SignedEntryFor(std::u16string_view decodedPath, ManifestEntry& entry);

// The fetch of `decodedPath` starts: an unplanned file joins the total.
void NoteTransferStarting(std::u16string_view decodedPath);
// `decodedPath` was found current: a planned file leaves the total.
void NoteFoundCurrent(std::u16string_view decodedPath);

// Drops the plan.
void ForgetTransferPlan();

// Free bytes on the file system holding `directory`; -1 when unknown.
std::int64_t FreeDiskBytes(const std::u16string& directory);

}  // namespace launcher
