// Reading what the stand-in patcher (tools/fake-patcher) recorded about its
// start: one line of tab-separated key=value fields per run.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace launcher::testing {

using PatcherRecord = std::map<std::string, std::string>;

// Parses one record line, undoing the \t, \n and \\ escapes of the values.
PatcherRecord ParsePatcherRecord(const std::string& line);

// Waits until `path` holds at least `count` complete lines and returns them
// parsed; returns what there is when `timeout` passes first.
std::vector<PatcherRecord> WaitForPatcherRecords(const std::filesystem::path& path,
                                                 std::size_t count,
                                                 std::chrono::milliseconds timeout);

// Sends SIGTERM to a recorded patcher and waits (up to `timeout`) until the
// process is gone; true when it ended.
bool StopPatcher(const PatcherRecord& record, std::chrono::milliseconds timeout);

}  // namespace launcher::testing
