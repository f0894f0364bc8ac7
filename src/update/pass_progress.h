// What the window shows of an update pass beyond its percentages: the
// lower line with the bytes done of the total, the speed and the time left,
// and the upper bar by bytes when a signed statement gave the pass's total
// (KnownTransferTotal, update/update_state.h). One process-wide set of
// figures (update/transfer_figures.h) that the passes and the download
// progress handlers feed.
//
// The lower line is formatted with MSG_DETAIL_WITH_FIGURES; an installation
// whose string table leaves that slot empty keeps the line as the passes
// set it (the file name alone). The line is rewritten when a transfer
// starts or ends and in between at most once every kFiguresLineMs, so its
// numbers stay readable.
//
// Worker thread only. The display calls are guarded sections: a call after
// the window asked to close ends the worker, as every display call does.
#pragma once

#include <cstdint>
#include <string_view>

#include "net/downloader.h"

namespace launcher {

inline constexpr std::uint32_t kFiguresLineMs = 1000;

// A pass begins with `entriesPercent` of its entries settled (a resumed
// pass starts above 0); `transfers` when it downloads (its total is then
// KnownTransferTotal). Shows its upper bar.
void BeginPassProgress(int entriesPercent, bool transfers);
// Shows the upper bar when `entriesPercent` of the pass's entries are
// settled: the bytes' share where the total is known. Never moves back
// within a pass, and 100 only once every entry is settled.
void ShowPassProgress(int entriesPercent);

// The text the lower line shows now without figures (the file name in
// hand); the figures are added to it.
void NoteDetailName(std::u16string_view name);

// Called by the download progress handlers after their own work, for every
// event of a file transfer: counts the bytes and shows the figures.
void ShowTransferFigures(int event, const Transfer& transfer);

// Back to the start of a process (tests, through ResetEngineStateForTesting).
void ResetPassProgress();

}  // namespace launcher
