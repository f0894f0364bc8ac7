// The two UTF-16LE logs under ../config/patcher/: the update log (one
// time-stamped line per event, six numbered generations) and the error log
// (failed moves and copies, one backup). Worker thread only. Every disk write
// of a line is a guarded section (cancel check points).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace launcher {

// The line being built from pieces; emptied by every write of a line.
extern std::u16string PendingLogLine;

// With a text: appends it to PendingLogLine (nothing is written). Without:
// writes time stamp + PendingLogLine + "\r\n" as one line and empties it.
// checkSize != 0 first rotates the update log when it is 300,000 bytes or
// more, or its size cannot be read.
void WriteLog(std::optional<std::u16string_view> text, int checkSize);

// Shorthands: one line holding `text`; one line holding `text` then `name`.
void LogText(std::u16string_view text);
void LogTextWithName(std::u16string_view text, std::u16string_view name);

// Copies an error log above 1,000,000 bytes to its backup and restarts it;
// creates a missing one.
void RotateErrorLog();

// Local time as "%d/%d/%d %02d:%02d:%02d" (year, month, day, h, m, s).
std::u16string LogTimeStamp();

// Fills a format text of the installation with exactly two "%s" replaced by
// `first` and `second`; every other character is copied literally (the text
// is never handed to printf). Cut at 399 units.
std::u16string FormatTwoPaths(std::u16string_view format, std::u16string_view first,
                              std::u16string_view second);

}  // namespace launcher
