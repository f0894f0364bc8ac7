// Starting another program and finding our own: the "open" start of the
// patcher (ShellExecuteW on Windows, a detached fork and exec on Linux) and
// the module path of the running executable.
//
// Threading: both functions may be called from any thread, also while other
// threads run; they keep no state.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace launcher {

// Starts `program` with `args` (argv[1..], UTF-8) in `workingDir`, detached.
//
// Windows: ShellExecuteW with the verb "open" and SW_SHOWNORMAL; the
// arguments are joined with spaces, one that is empty or holds a space in
// quotation marks (the launcher's own command-line split gives them back).
// False when the program or the directory is missing.
//
// Linux:
// the program runs in a session of its own, is not our child (nothing has to
// wait for it), and inherits no descriptor of ours but fresh ones: standard
// input, output and error are /dev/null, every other descriptor is closed, so
// it holds none of our files and none of our locks. The environment is
// inherited. Relative paths are taken from the caller's working directory.
// Returns once the program has been executed, without waiting for
// it to run; false when it could not be started (missing, not executable,
// bad working directory).
bool StartDetachedProcess(const std::filesystem::path& program,
                          const std::vector<std::string>& args,
                          const std::filesystem::path& workingDir);

// Absolute path of the running executable; empty if it cannot be found.
std::filesystem::path ExecutablePath();

}  // namespace launcher
