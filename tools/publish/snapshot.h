// Release snapshots: the releases directory (one directory per version,
// named by its number) and the files of one snapshot with the checks that
// keep unreadable or unsafe names out of the server tree.
//
// Scanning reads file metadata only, never contents. Not thread-safe; one
// scan per object.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace launcher::publish {

struct SnapshotFile {
  std::string path;  // relative, "/"-separated UTF-8
  std::filesystem::path source;
  std::uint64_t size = 0;
  // Identity of the stored bytes: equal identities mean equal contents (hard
  // links shared between snapshots are read once).
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t mtimeNs = 0;
};

struct Snapshot {
  int version = 0;
  std::filesystem::path root;
  std::vector<SnapshotFile> files;  // sorted by path, byte order

  const SnapshotFile* Find(const std::string& path) const;
};

// The version directories of `releasesDir`, by number. Entries whose names
// are not a plain decimal number of 1 or more are skipped with a note in
// `notes`; problems (unreadable directory, a version that is not a
// directory) go to `problems`.
std::map<int, std::filesystem::path> ListReleases(const std::filesystem::path& releasesDir,
                                                  std::vector<std::string>& notes,
                                                  std::vector<std::string>& problems);

// Scans one snapshot. Every refusal (symbolic link, special file, a name or
// path the launcher cannot take) is added to `problems` naming the file.
// With `checkCase`, files and directories whose paths differ only in letter
// case are refused too. Empty directories give no entries.
Snapshot ScanSnapshot(int version, const std::filesystem::path& root, bool checkCase,
                      std::vector<std::string>& problems);

}  // namespace launcher::publish
