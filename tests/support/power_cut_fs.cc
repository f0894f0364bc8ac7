#define FUSE_USE_VERSION 31
#include "support/power_cut_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <linux/fs.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>

namespace launcher::testing {

namespace fs = std::filesystem;

namespace {

// A path of the mount ("/a/b") relative to the backing directory.
const char* Rel(const char* path) { return path[1] == '\0' ? "." : path + 1; }

std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return {path.substr(0, slash), path.substr(slash + 1)};
}

std::string ReadAll(int fd) {
  std::string content;
  char buffer[1 << 16];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
    if (n <= 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
    at += n;
  }
  return content;
}

}  // namespace

std::string PowerCutFs::Unavailable() {
  const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::string("/dev/fuse cannot be opened: ") + std::strerror(errno);
  ::close(fd);
  if (::geteuid() != 0 && ::access("/usr/bin/fusermount3", X_OK) != 0)
    return "not root, and no fusermount3 to mount with";
  return {};
}

PowerCutFs::PowerCutFs(const fs::path& backing, const fs::path& mountPoint)
    : mountPoint_(mountPoint) {
  backingFd_ = ::open(backing.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (backingFd_ < 0) {
    problem_ = backing.string() + ": " + std::strerror(errno);
    return;
  }
  tree_.push_back({true, 0755, {}, {}, false, 0});
  LoadTree(backing, 0);
  if (!problem_.empty()) return;
  initial_ = tree_;
  lastChangeIn_.assign(tree_.size(), 0);

  const fuse_operations& ops = Operations();
  char name[] = "power-cut-fs";
  char* argv[] = {name, nullptr};
  fuse_args args = FUSE_ARGS_INIT(1, argv);
  fuse_ = fuse_new(&args, &ops, sizeof ops, this);
  fuse_opt_free_args(&args);
  if (fuse_ != nullptr && fuse_mount(fuse_, mountPoint.c_str()) != 0) {
    fuse_destroy(fuse_);
    fuse_ = nullptr;
  }
  if (fuse_ == nullptr) {
    problem_ = "cannot mount a FUSE file system at " + mountPoint.string();
    return;
  }
  loop_ = std::thread([this] { fuse_loop(fuse_); });
}

PowerCutFs::~PowerCutFs() {
  Unmount();
  if (backingFd_ >= 0) ::close(backingFd_);
}

void PowerCutFs::Unmount() {
  if (fuse_ == nullptr) return;
  // A lazy unmount: the loop ends once the kernel lets the file system go.
  if (::umount2(mountPoint_.c_str(), MNT_DETACH) != 0) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::execlp("fusermount3", "fusermount3", "-u", "-z", mountPoint_.c_str(),
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (pid > 0) ::waitpid(pid, nullptr, 0);
  }
  loop_.join();
  fuse_unmount(fuse_);
  fuse_destroy(fuse_);
  fuse_ = nullptr;
  for (const auto& [fd, node] : openFiles_) ::close(fd);
  openFiles_.clear();
}

void PowerCutFs::LoadTree(const fs::path& dir, int node) {
  for (const auto& entry : fs::directory_iterator(dir)) {
    struct stat st {};
    ::lstat(entry.path().c_str(), &st);
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
      problem_ = entry.path().string() + ": neither a file nor a directory";
      return;
    }
    Node child{S_ISDIR(st.st_mode), st.st_mode & 07777, {}, {}, true, 0};
    if (!child.directory) {
      std::ifstream in(entry.path(), std::ios::binary);
      child.synced.assign(std::istreambuf_iterator<char>(in), {});
      child.size = child.synced.size();
    }
    tree_.push_back(std::move(child));
    const int id = static_cast<int>(tree_.size()) - 1;
    tree_[static_cast<std::size_t>(node)].entries[entry.path().filename().string()] = id;
    if (S_ISDIR(st.st_mode)) LoadTree(entry.path(), id);
  }
}

bool PowerCutFs::Admit(bool event) {
  const int change = ++changes_;
  const int eventNumber = event ? ++events_ : 0;
  if (change == cutAtChange_ || (event && eventNumber == cutAtEvent_)) powerCut_ = true;
  return !powerCut_;
}

int PowerCutFs::Resolve(const Tree& tree, const std::string& path) {
  int node = 0;
  std::size_t start = 1;
  while (start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const auto& entries = tree[static_cast<std::size_t>(node)].entries;
    const auto it = entries.find(path.substr(start, end - start));
    if (it == entries.end()) return -1;
    node = it->second;
    start = end + 1;
  }
  return node;
}

bool PowerCutFs::Apply(Tree& tree, const Change& change) {
  const auto [fromDir, fromName] = SplitPath(change.from);
  const int from = Resolve(tree, fromDir);
  if (from < 0) return false;
  auto& fromEntries = tree[static_cast<std::size_t>(from)].entries;
  switch (change.kind) {
    case Change::kCreate:
    case Change::kMkdir:
      tree[static_cast<std::size_t>(change.node)].entries.clear();
      fromEntries[fromName] = change.node;
      return true;
    case Change::kUnlink:
    case Change::kRmdir:
      return fromEntries.erase(fromName) == 1;
    case Change::kRename:
    case Change::kLink: {
      const auto [toDir, toName] = SplitPath(change.to);
      const int to = Resolve(tree, toDir);
      const auto source = fromEntries.find(fromName);
      if (to < 0 || source == fromEntries.end()) return false;
      const int moved = source->second;
      auto& toEntries = tree[static_cast<std::size_t>(to)].entries;
      if (change.kind == Change::kLink) {
        toEntries[toName] = moved;
      } else if ((change.flags & RENAME_EXCHANGE) != 0) {
        if (!toEntries.count(toName)) return false;
        fromEntries[fromName] = toEntries[toName];
        toEntries[toName] = moved;
      } else if (!(toEntries.count(toName) && toEntries[toName] == moved)) {
        // (A rename onto another name of the same file does nothing.)
        fromEntries.erase(fromName);
        toEntries[toName] = moved;
      }
      return true;
    }
  }
  return false;
}

void PowerCutFs::Record(const Change& change) {
  const int from = Resolve(tree_, SplitPath(change.from).first);
  const int to = change.to.empty() ? -1 : Resolve(tree_, SplitPath(change.to).first);
  Apply(tree_, change);
  log_.push_back(change);
  lastChangeIn_.resize(tree_.size(), 0);
  for (int dir : {from, to}) {
    if (dir >= 0) lastChangeIn_[static_cast<std::size_t>(dir)] = log_.size();
  }
}

void PowerCutFs::SyncFile(int node, int fd) {
  Node& file = tree_[static_cast<std::size_t>(node)];
  file.synced = ReadAll(fd);
  file.everSynced = true;
}

void PowerCutFs::SyncDirectory(int node) {
  if (static_cast<std::size_t>(node) < lastChangeIn_.size())
    durableChanges_ = std::max(durableChanges_, lastChangeIn_[static_cast<std::size_t>(node)]);
}

void PowerCutFs::ForEachFile(const std::function<void(int, const std::string&)>& visit) const {
  std::vector<std::pair<int, std::string>> pending{{0, ""}};
  while (!pending.empty()) {
    const auto [node, path] = pending.back();
    pending.pop_back();
    for (const auto& [name, child] : tree_[static_cast<std::size_t>(node)].entries) {
      if (tree_[static_cast<std::size_t>(child)].directory) {
        pending.emplace_back(child, path + "/" + name);
      } else {
        visit(child, path + "/" + name);
      }
    }
  }
}

std::string PowerCutFs::ContentNow(const std::string& path) const {
  const int fd = ::openat(backingFd_, Rel(path.c_str()), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string content = ReadAll(fd);
  ::close(fd);
  return content;
}

void PowerCutFs::SyncEverything() {
  ForEachFile([this](int node, const std::string& path) {
    Node& file = tree_[static_cast<std::size_t>(node)];
    file.synced = ContentNow(path);
    file.everSynced = true;
  });
  durableChanges_ = log_.size();
}

std::string PowerCutFs::WriteCrashState(const fs::path& dir, Model model, unsigned seed) const {
  std::mt19937 rng(seed);
  std::size_t keep = log_.size();
  if (model != Model::kLoseUnflushedData) {
    keep = std::uniform_int_distribution<std::size_t>(durableChanges_, log_.size())(rng);
  }
  Tree tree = tree_;
  for (std::size_t i = 0; i < tree.size(); ++i) {
    tree[i].entries = i < initial_.size() ? initial_[i].entries : std::map<std::string, int>{};
  }
  std::string problems;
  for (std::size_t i = 0; i < keep; ++i) {
    if (!Apply(tree, log_[i])) problems += " (change " + std::to_string(i) + " did not apply)";
  }
  // What each file shows: its content at its last sync, zeros where it was
  // never synced, or under model 3, for about half the files, what it held
  // at the cut.
  std::map<int, std::string> shown;
  int writtenBack = 0;
  for (std::size_t i = 0; i < tree.size(); ++i) {
    const Node& file = tree[i];
    if (!file.directory)
      shown[static_cast<int>(i)] = file.everSynced ? file.synced : std::string(file.size, '\0');
  }
  if (model == Model::kWriteBackSome) {
    ForEachFile([&](int node, const std::string& path) {
      if (rng() % 2 == 0) return;
      shown[node] = ContentNow(path);
      ++writtenBack;
    });
  }
  fs::create_directories(dir.parent_path());
  fs::create_directory(dir);
  WriteTree(tree, 0, dir, shown);
  return "kept " + std::to_string(keep) + " of " + std::to_string(log_.size()) +
         " namespace changes, " + std::to_string(durableChanges_) + " of them durable" +
         (model == Model::kWriteBackSome
              ? ", " + std::to_string(writtenBack) + " files written back"
              : "") +
         problems;
}

void PowerCutFs::WriteTree(const Tree& tree, int node, const fs::path& dir,
                           const std::map<int, std::string>& shown) const {
  for (const auto& [name, child] : tree[static_cast<std::size_t>(node)].entries) {
    const Node& entry = tree[static_cast<std::size_t>(child)];
    const fs::path path = dir / name;
    if (entry.directory) {
      fs::create_directory(path);
      WriteTree(tree, child, path, shown);
    } else {
      std::ofstream out(path, std::ios::binary);
      const std::string& content = shown.at(child);
      out.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    fs::permissions(path, static_cast<fs::perms>(entry.mode));
  }
}

}  // namespace launcher::testing
