#include "publish/snapshot.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <system_error>

#include "platform/file_stamp.h"
#include "platform/native_file.h"
#include "publish/path_rules.h"

namespace launcher::publish {

namespace fs = std::filesystem;

const SnapshotFile* Snapshot::Find(const std::string& path) const {
  auto it =
      std::lower_bound(files.begin(), files.end(), path,
                       [](const SnapshotFile& f, const std::string& p) { return f.path < p; });
  return it != files.end() && it->path == path ? &*it : nullptr;
}

namespace {

bool ParseVersionName(const std::string& name, int& version) {
  if (name.empty() || name[0] < '1' || name[0] > '9') return false;
  auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), version);
  return ec == std::errc() && end == name.data() + name.size();
}

class Scanner {
 public:
  Scanner(Snapshot& snapshot, std::vector<std::string>& problems)
      : snapshot_(snapshot), problems_(problems) {}

  void Walk(const fs::path& dir, const std::string& prefix) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) {
      Problem(prefix.empty() ? "." : prefix, "cannot read directory: " + ec.message());
      return;
    }
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      const std::string name = it->path().filename().string();
      const std::string rel = prefix.empty() ? name : prefix + "/" + name;
      if (auto problem = CheckName(name)) {
        Problem(rel, *problem);
        continue;
      }
      errno = 0;
      const FileKind kind = FileKindNoFollow(it->path());
      FileStamp stamp;
      if (kind == FileKind::kMissing) {
        Problem(rel, std::string("cannot read") + (errno != 0 ? ": " : "") +
                         (errno != 0 ? std::strerror(errno) : ""));
      } else if (kind == FileKind::kLink) {
        Problem(rel, "symbolic link (publish the file itself)");
      } else if (kind == FileKind::kDirectory) {
        Walk(it->path(), rel);
      } else if (kind != FileKind::kRegular) {
        Problem(rel, "special file (not a regular file)");
      } else if (auto problem = CheckRelativePath(rel)) {
        Problem(rel, *problem);
      } else if (!ReadFileStamp(it->path(), stamp)) {
        Problem(rel, "cannot read");
      } else {
        SnapshotFile file;
        file.path = rel;
        file.source = it->path();
        file.size = stamp.size;
        file.device = stamp.volumeId;
        file.inode = stamp.fileId;
        file.mtimeNs = stamp.modifiedNs;
        snapshot_.files.push_back(std::move(file));
      }
    }
    if (ec) Problem(prefix.empty() ? "." : prefix, "cannot read directory: " + ec.message());
  }

  void Problem(const std::string& rel, const std::string& what) {
    problems_.push_back(snapshot_.root.string() + "/" + rel + ": " + what);
  }

 private:
  Snapshot& snapshot_;
  std::vector<std::string>& problems_;
};

// Files and directories that a case-insensitive file system would merge.
void CheckCaseCollisions(const Snapshot& snapshot, std::vector<std::string>& problems) {
  std::map<std::u16string, std::string> seen;  // folded path -> first spelling
  auto add = [&](const std::string& path) {
    auto [it, inserted] = seen.emplace(CaseFoldKey(path), path);
    if (!inserted && it->second != path) {
      problems.push_back(snapshot.root.string() + "/" + path +
                         ": differs only in letter case from " + it->second +
                         " (they would collide on the players' file systems)");
    }
  };
  for (const SnapshotFile& file : snapshot.files) {
    // Each directory above the file, then the file itself.
    for (std::size_t slash = file.path.find('/'); slash != std::string::npos;
         slash = file.path.find('/', slash + 1)) {
      add(file.path.substr(0, slash));
    }
    add(file.path);
  }
}

}  // namespace

std::map<int, fs::path> ListReleases(const fs::path& releasesDir, std::vector<std::string>& notes,
                                     std::vector<std::string>& problems) {
  std::map<int, fs::path> releases;
  std::error_code ec;
  fs::directory_iterator it(releasesDir, ec);
  if (ec) {
    problems.push_back(releasesDir.string() + ": cannot read releases directory: " + ec.message());
    return releases;
  }
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    int version = 0;
    if (!ParseVersionName(name, version)) {
      notes.push_back(it->path().string() + ": not a version number, skipped");
      continue;
    }
    // A version may be a link to a directory kept elsewhere; links inside a
    // snapshot are refused by the scan.
    std::error_code kindError;
    if (!fs::is_directory(it->path(), kindError)) {
      problems.push_back(it->path().string() + ": a version must be a directory");
      continue;
    }
    releases.emplace(version, it->path());
  }
  if (ec) problems.push_back(releasesDir.string() + ": cannot read: " + ec.message());
  return releases;
}

Snapshot ScanSnapshot(int version, const fs::path& root, bool checkCase,
                      std::vector<std::string>& problems) {
  Snapshot snapshot;
  snapshot.version = version;
  snapshot.root = root;
  Scanner(snapshot, problems).Walk(root, "");
  std::sort(snapshot.files.begin(), snapshot.files.end(),
            [](const SnapshotFile& a, const SnapshotFile& b) { return a.path < b.path; });
  if (checkCase) CheckCaseCollisions(snapshot, problems);
  return snapshot;
}

}  // namespace launcher::publish
