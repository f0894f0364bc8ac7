// Where the tests of the Linux tree find the windows build, and how they
// run its programs under Wine: through scripts/wine-run (the source tree's
// private prefix), with Linux paths named as Wine sees them (/ is drive Z:).
// Free functions, no state.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/publish_fixture.h"

namespace launcher::testing {

// $LAUNCHER_WINDOWS_BUILD_DIR, else build/windows of the source tree.
std::filesystem::path WindowsBuildTree();

// scripts/wine-run of the source tree.
std::filesystem::path WineRunScript();

// "Z:\..." for the absolute form of `path`.
std::string WinePath(const std::filesystem::path& path);

// Runs `args` (a Windows program and its arguments) under scripts/wine-run.
ProcessResult RunUnderWine(const std::vector<std::string>& args);

}  // namespace launcher::testing
