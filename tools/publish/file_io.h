// Small file helpers of the publisher. Threading: any thread; each call
// opens and closes what it uses.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace launcher::publish {

// Reads a whole file (keys, lists, version files). False when it cannot be
// read.
bool ReadWholeFile(const std::filesystem::path& path, std::string& out);

// Writes `data` to a new file that must not exist yet, with the permission
// bits `mode` (the umask does not apply: a private key stays 0600).
bool WriteNewFile(const std::filesystem::path& path, std::string_view data, unsigned mode);

// Replaces `path` with `data` (mode 0644) through a temporary file renamed
// over it, synced so that the server tree keeps it through a power cut.
bool ReplaceFile(const std::filesystem::path& path, std::string_view data);

}  // namespace launcher::publish
