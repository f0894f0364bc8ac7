// The incremental update: brings ../patcher/ from LocalVersion to
// ServerVersion by applying one signed incremental list ("v-%d.inc", chosen
// by the list distance), with a fetch pass that stages every changed file
// under "temp/" and an apply pass that deletes and installs.
//
// Interrupted work (a closed window, a file that could not be fetched, a
// crash) resumes in a later run at the entry and byte where it stopped,
// through "ustate.sw", "inc.sw", "tempfile.dat" and "temp/".
//
// Worker thread only; needs SharedDownloader, ServerVersion and LocalVersion
// set (normal update path). May end the worker by throwing WorkerCancelled
// at any check point; the state files then describe what is on disk.
#pragma once

#include <string>

namespace launcher {

// 1 when the whole list was applied and "version.sw" written; 0 when the list
// is unusable, a file could not be fetched, or an install failed (the next
// run then resumes).
int RunIncrementalUpdate();

// Address of the incremental list for a client `versionsBehind` versions
// behind: PatchUrl + "v-" + ListDistance + ".inc".
std::u16string IncrementalListUrl(int versionsBehind);

}  // namespace launcher
