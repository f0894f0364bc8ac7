// The update from the full list: makes ../patcher/ match "FullList.sw".
//
// A check pass compares every listed file with its installed copy and
// fetches each one that differs into the staging tree "Check/"; only when
// every such file is staged does an install pass move them into place.
// Nothing under ../patcher/ is touched before then, no file the list does
// not name is ever touched, and no state is kept between runs (every run
// checks every file again).
//
// Worker thread only; needs SharedDownloader and ServerVersion set by the
// full check. May end the worker by throwing WorkerCancelled at any check
// point; ../patcher/ then holds whole files only.
#pragma once

namespace launcher {

// 1 when ../patcher/ matches the list and "version.sw" holds ServerVersion
// (or the list has no entries; "version.sw" is then left alone). 0 when the
// list is unusable (signature, an unsafe or malformed entry), a file could
// not be fetched (../patcher/ unchanged, "Check/" keeps what was staged), or
// a staged file could not be installed ("version.sw" not written, "Check/"
// keeps what was not installed).
int UpdateFromFullList();

}  // namespace launcher
