// Small file helpers of the publisher.
#pragma once

#include <filesystem>
#include <string>

namespace launcher::publish {

// Reads a whole file (keys, lists, version files). False when it cannot be
// read.
bool ReadWholeFile(const std::filesystem::path& path, std::string& out);

}  // namespace launcher::publish
