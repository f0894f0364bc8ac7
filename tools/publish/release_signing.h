// The release statement and the manifest on the publisher's side: signing
// a statement with one or two Ed25519 keys, writing both files of a newly
// built tree, and re-signing a served statement with a new expiry
// ("refresh"). The formats are the launcher's own (update/release_*.h).
//
// Not thread-safe; each call reads and writes whole files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "update/release_manifest.h"
#include "update/release_statement.h"

namespace launcher::publish {

inline constexpr std::int64_t kDefaultStatementLifetime = 7 * 86400;
inline constexpr std::int64_t kMaxStatementLifetime = 366 * 86400;

// "7d", "36h", "90m", "3600s" or a plain number of days. Nullopt for
// anything else, or a lifetime under a minute or over kMaxStatementLifetime.
std::optional<std::int64_t> ParseLifetime(const std::string& text);

// The Ed25519 private keys that sign statements (one, or two while a key is
// rotated), read from PEM files. Nullopt, with `problem`, when a file cannot
// be read or is not such a key, or when there are none or more than two.
std::optional<std::vector<std::string>> LoadReleaseKeys(
    const std::vector<std::filesystem::path>& files, std::string& problem);

// The whole statement text: body, then one signature line per key. Nullopt
// when a key cannot sign.
std::optional<std::string> SignStatement(const ReleaseStatement& statement,
                                         const std::vector<std::string>& privatePems);

// A file of the newest version for the manifest: its installed size and
// SHA-256, and the compressed form written into the tree.
struct ManifestSource {
  std::int64_t installedSize = 0;
  std::string installedSha256;
  std::filesystem::path compressed;
};

// Writes `root`/patcher/manifest and `root`/patcher/statement for `version`:
// the manifest from `files` (relative path -> source), the statement naming
// the full list, every incremental list and the manifest found under
// `root`/patcher/, signed at `now` and expiring `lifetime` seconds later.
// The written statement is read back and checked with the keys' public
// halves. False with `problem` on any failure.
bool WriteReleaseFiles(const std::filesystem::path& root, int pid, int version,
                       const std::map<std::string, ManifestSource>& files,
                       const std::vector<std::string>& privatePems, std::int64_t now,
                       std::int64_t lifetime, std::string& problem);

// Re-signs the statement served under `root` with a new time and expiry,
// without changing anything else. It must verify under one of the keys
// given, and every file it names must still match, so that a tree or a
// statement changed on the server is never signed again. False with
// `problem`; on success `summary` says what was written.
bool RefreshStatement(const std::filesystem::path& root,
                      const std::vector<std::string>& privatePems, std::int64_t now,
                      std::int64_t lifetime, std::string& summary, std::string& problem);

// The SHA-256 and size of a file; false when it cannot be read.
bool HashFile(const std::filesystem::path& path, std::string& sha256, std::int64_t& size);

}  // namespace launcher::publish
