// The two UTF-16LE logs under ../config/patcher/: the update log (one
// time-stamped line per event, six numbered generations) and the error log
// (failed moves and copies, one backup). Worker thread only. Every disk write
// of a line is a guarded section (cancel check points).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace launcher {

// The line being built from pieces; emptied by every write of a line.
extern std::u16string PendingLogLine;

// With a text: appends it to PendingLogLine (nothing is written). Without:
// writes time stamp + PendingLogLine + "\r\n" as one line and empties it.
// checkSize != 0 first rotates the update log when it is 300,000 bytes or
// more, or its size cannot be read: generations 1..5 are copied one up, the
// log is copied to generation 1 and restarted with only U+FEFF. A log whose
// copy to generation 1 failed is kept as it is. Throws WorkerCancelled at a
// check point when the window asked to close.
void WriteLog(std::optional<std::u16string_view> text, int checkSize);

// Shorthands: one line holding `text`; one line holding `text` then `name`.
void LogText(std::u16string_view text);
void LogTextWithName(std::u16string_view text, std::u16string_view name);

// Copies an error log above 1,000,000 bytes to its backup and restarts it
// (only once the backup copy has succeeded); creates a missing one.
void RotateErrorLog();

// Local time as "%d/%d/%d %02d:%02d:%02d" (year, month, day, h, m, s).
std::u16string LogTimeStamp();
// The same form for given values, e.g. 2006, 3, 5, 9, 4, 7 -> "2006/3/5 09:04:07".
std::u16string FormatTimeStamp(int year, int month, int day, int hour, int minute, int second);

// Room of a formatted error-log message, in UTF-16 units.
inline constexpr std::size_t kMaxFormattedMessageUnits = 399;

// Fills a format text of the installation: the first "%s" becomes `first`,
// the second "%s" becomes `second`, and every other unit is copied literally
// (the text is never handed to printf). So a third "%s", a "%n", "%d" or
// "%%" stays as written ("%%s" included), and a text without "%s" is copied
// unchanged. The result is cut to kMaxFormattedMessageUnits units, never
// between the two halves of a surrogate pair.
std::u16string FormatTwoPaths(std::u16string_view format, std::u16string_view first,
                              std::u16string_view second);

}  // namespace launcher
