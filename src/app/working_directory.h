// The launcher works from its own directory: every relative name of the
// installation ("launcher.bmp", "stringtab.txt", "../patcher/",
// "../config/patcher/") is resolved against it. Main thread, at start-up.
#pragma once

#include <filesystem>

namespace launcher {

// The directory part of an executable path: everything before its last
// separator (only '/' on Linux, where a backslash is part of a name; '/' or
// '\\' on Windows). Empty when the path has none.
std::filesystem::path DirectoryOfExecutable(const std::filesystem::path& executable);

// Makes the running executable's directory the working directory. False when
// the path cannot be found or the change fails; the launcher then goes on in
// whatever directory is current.
bool ChangeToExecutableDirectory();

}  // namespace launcher
