// Helpers for tests that need a patch server tree: release snapshots written
// from a table of files, and the built launcher-publish run as a real
// process on them.
//
// The executable is taken from the environment variable LAUNCHER_PUBLISH_BIN
// when set (the publisher's tests set it through CTest), otherwise from
// LAUNCHER_BINARY_DIR "/tools/publish/launcher-publish"; the target
// launcher-publish must be built before the test runs (add_dependencies).
// The test keys are resources/keys/test-private.pem and test-public.pem.
// Not thread-safe; every call runs the tool to completion.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace launcher::testing {

// Relative path ("data/main.exe") -> file content.
using ReleaseFiles = std::map<std::string, std::string>;

std::filesystem::path PublishBinaryPath();
std::filesystem::path TestPrivateKeyPath();
std::filesystem::path TestPublicKeyPath();

// Writes `releases`/<version>/... with exactly `files` (the version
// directory is replaced when it exists).
void WriteRelease(const std::filesystem::path& releases, int version, const ReleaseFiles& files);

struct ProcessResult {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  std::string out;
  std::string err;
};

// Runs `program` with `args`, stdin from /dev/null, and collects its output.
ProcessResult RunProcess(const std::filesystem::path& program,
                         const std::vector<std::string>& args);

// Runs launcher-publish with `args`.
ProcessResult RunPublish(const std::vector<std::string>& args);

// Runs "launcher-publish build" on `releases` with the test key into `out`
// and returns `out`. A failed build fails the calling test (ADD_FAILURE with
// the tool's output) and still returns `out`.
std::filesystem::path BuildTestServerTree(const std::filesystem::path& releases,
                                          const std::filesystem::path& out, int pid = 1);

}  // namespace launcher::testing
