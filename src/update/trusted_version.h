// The trusted version: the highest release version a verified release
// statement has named on this installation ("trusted.sw" under
// ../config/patcher/: one decimal number, then CR LF). A statement naming a
// lower version is a rollback and is refused.
//
// Only a verified statement raises it, and no download ever lands on its
// name (every fetched file has a fixed name of its own, and staged files
// stay inside their staging trees). A missing or unreadable record counts
// as 0: the first statement seen is trusted. Worker thread only.
#pragma once

namespace launcher {

int ReadTrustedVersion();
// Raises the record to `version` when that is higher; written durably (a
// power cut leaves the old or the new number). False when it could not be
// written.
bool RaiseTrustedVersion(int version);

}  // namespace launcher
