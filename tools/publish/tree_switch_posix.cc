#include "publish/tree_switch.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace launcher::publish {

namespace fs = std::filesystem;

namespace {

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// A fresh unused sibling name "<out><tag>XXXXXX" (created as a directory and
// removed again when `keep` is false, so the name is reserved race-free).
std::optional<fs::path> UniqueSibling(const fs::path& out, const char* tag, bool keep) {
  std::string pattern = out.string() + tag + "XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return std::nullopt;
  if (!keep) rmdir(pattern.c_str());
  return fs::path(pattern);
}

void RemoveTree(const fs::path& dir) {
  std::error_code ec;
  fs::remove_all(dir, ec);
}

// Served files must be readable by the web server's user whatever the umask.
void MakeWorldReadable(const fs::path& root) {
  std::error_code ec;
  chmod(root.c_str(), 0755);
  for (auto it = fs::recursive_directory_iterator(root, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    chmod(it->path().c_str(), it->is_directory(ec) ? 0755 : 0644);
  }
}

// Everything written is on disk before the tree is served.
bool SyncTree(const fs::path& root) {
  const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  const bool ok = syncfs(fd) == 0;
  close(fd);
  return ok;
}

}  // namespace

std::optional<fs::path> MakeUniqueDirectory(const std::string& prefix) {
  std::string pattern = prefix + "XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return std::nullopt;
  return fs::path(pattern);
}

std::optional<fs::path> MakeBuildDirectory(const fs::path& out, std::string& problem) {
  auto dir = UniqueSibling(out, ".new-", true);
  if (!dir) {
    problem = Errno("cannot create a build directory next to " + out.string());
    return std::nullopt;
  }
  chmod(dir->c_str(), 0755);
  return dir;
}

bool PrepareTreeForServing(const fs::path& root, std::string& problem) {
  MakeWorldReadable(root);
  if (SyncTree(root)) return true;
  problem = root.string() + ": cannot be synced to disk";
  return false;
}

bool RecoverTreeSwitch(const fs::path&, std::string&, std::string&) { return true; }

bool SwitchTree(const fs::path& built, const fs::path& out, std::string& problem,
                std::string& how) {
  struct stat st {};
  if (lstat(out.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      problem = Errno("cannot inspect " + out.string());
      return false;
    }
    if (rename(built.c_str(), out.c_str()) != 0) {
      problem = Errno("cannot rename " + built.string() + " to " + out.string());
      return false;
    }
    how = "created";
    return true;
  }
  if (S_ISLNK(st.st_mode)) {
    std::error_code ec;
    const fs::path oldTarget = fs::read_symlink(out, ec);
    auto link = UniqueSibling(out, ".link-", false);
    if (!link || symlink(built.filename().c_str(), link->c_str()) != 0) {
      problem = Errno("cannot create a link next to " + out.string());
      return false;
    }
    if (rename(link->c_str(), out.c_str()) != 0) {
      problem = Errno("cannot replace the link " + out.string());
      unlink(link->c_str());
      return false;
    }
    // Remove the previous tree only when this tool built it.
    const fs::path oldPath = oldTarget.is_absolute() ? oldTarget : out.parent_path() / oldTarget;
    if (!ec && oldPath.parent_path() == out.parent_path() &&
        oldPath.filename().string().starts_with(out.filename().string() + ".new-")) {
      RemoveTree(oldPath);
    }
    how = "link switched";
    return true;
  }
  if (!S_ISDIR(st.st_mode)) {
    problem = out.string() + " exists and is neither a directory nor a symbolic link";
    return false;
  }
  if (renameat2(AT_FDCWD, built.c_str(), AT_FDCWD, out.c_str(), RENAME_EXCHANGE) == 0) {
    RemoveTree(built);  // now holds the previous tree
    how = "exchanged";
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
    problem = Errno("cannot exchange " + built.string() + " and " + out.string());
    return false;
  }
  auto aside = UniqueSibling(out, ".old-", false);
  if (!aside || rename(out.c_str(), aside->c_str()) != 0) {
    problem = Errno("cannot move the served tree " + out.string() + " aside");
    return false;
  }
  if (rename(built.c_str(), out.c_str()) != 0) {
    problem = Errno("cannot rename " + built.string() + " to " + out.string());
    rename(aside->c_str(), out.c_str());
    return false;
  }
  RemoveTree(*aside);
  how = "replaced";
  return true;
}

}  // namespace launcher::publish
