// PowerCutFs: a FUSE file system (libfuse3) for tests that cut the power.
//
// It mounts a directory the test owns (the backing directory) at a mount
// point the test owns, and passes every operation through to the backing
// directory, as libfuse's passthrough example does. Beside that it keeps
// what a disk would hold after a crash:
//   - the log of namespace changes in order (create, mkdir, rename, link,
//     unlink, rmdir), starting from the tree found at mount time;
//   - for each file, the content it held at its last durable point.
// A durable point for a file's data is an fsync or fdatasync of the file;
// for the names in a directory it is an fsync of that directory, which
// keeps every namespace change up to the last one that touched the
// directory. The tree found at mount time is durable as it stands.
//
// On command the power goes: from that moment every change is refused with
// EIO (the running program fails, or the test kills it), and after
// Unmount() WriteCrashState() writes what the disk shows after the reboot
// into a plain directory, under one of three models:
//   1. kLoseUnflushedData: the names are as they were at the cut; each file
//      holds its content at its last sync. A file never synced holds zeros
//      over the length it had at the cut: its name and size reached the
//      journal, its data never did (ext4 data=writeback, the delayed
//      allocation of xfs). Zeros are the nastier choice: an empty file is
//      easy to tell from a good one, zeros of the right length are not.
//   2. kLoseMetadataSuffix: as 1, and the namespace is that of a prefix of
//      the change log, at least up to the last durable point and otherwise
//      cut at a point chosen by `seed` (changes after it undone in reverse
//      order), as a journalling file system recovers its metadata.
//   3. kWriteBackSome: as 2, but about half the files (chosen by `seed`)
//      show what they held at the cut: the system had written their data
//      back on its own before the power went. This is how a record can
//      outlive what it describes, say a resume record written back while
//      the rename of the file it counts was never committed.
// Permission bits are kept as they are at the cut; time stamps and inode
// numbers are new in the written state.
//
// What FUSE cannot see, and how it is treated:
//   - O_DIRECT (the launcher's bulk writes set it with fcntl): such writes
//     still arrive here as writes and count as unflushed, which is what they
//     are: O_DIRECT bypasses the page cache, it does not make the data or
//     the file's size durable; only an fsync or fdatasync does.
//   - sync_file_range: starts writeback and promises nothing; ignored.
//   - syncfs: never reaches a FUSE file system. A program that relies on it
//     is run with support/syncfs_notice.c preloaded, which reports each
//     successful syncfs by reading the extended attribute
//     kSyncfsNoticeAttribute of a file on the mount; that read makes every
//     file's current content and every namespace change durable.
// Regular files and directories only: symbolic links, device nodes and
// FIFOs are refused (EPERM).
//
// Counting: every operation that changes something is a change; each
// fsync, fdatasync, directory fsync, syncfs notice and rename is also a
// durability event. CutAtEvent(n) or CutAtChange(n) arms the cut to happen
// as the n-th one arrives, before it takes effect; the test polls
// power_cut() and kills the program.
//
// The operations live in power_cut_fs_ops.cc, the record of what is
// durable and the crash states in power_cut_fs.cc.
//
// Lifetime and threading: the constructor mounts and serves requests on a
// thread of its own, one at a time; Unmount() (or the destructor) lazily
// unmounts the mount point and joins that thread. The counters and the
// cut may be used from any thread; WriteCrashState only after Unmount().
// Needs /dev/fuse and the right to mount (root, or fusermount3).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct fuse;
struct fuse_operations;

namespace launcher::testing {

class PowerCutFs {
 public:
  enum class Model { kLoseUnflushedData, kLoseMetadataSuffix, kWriteBackSome };
  static constexpr const char* kSyncfsNoticeAttribute = "user.power-cut.syncfs";

  // Why a FUSE file system cannot be mounted here; empty when it can.
  static std::string Unavailable();

  // Mounts `backing` at `mountPoint`; both must exist, the mount point
  // empty. ok() false (and problem() says why) when the mount failed.
  PowerCutFs(const std::filesystem::path& backing, const std::filesystem::path& mountPoint);
  ~PowerCutFs();
  PowerCutFs(const PowerCutFs&) = delete;
  PowerCutFs& operator=(const PowerCutFs&) = delete;

  bool ok() const { return fuse_ != nullptr; }
  const std::string& problem() const { return problem_; }

  void CutAtEvent(int n) { cutAtEvent_ = n; }
  void CutAtChange(int n) { cutAtChange_ = n; }
  void CutNow() { powerCut_ = true; }
  bool power_cut() const { return powerCut_; }
  int events() const { return events_; }
  int changes() const { return changes_; }

  void Unmount();

  // Writes the state after the cut into `dir` (created; must not exist).
  // Returns a short description ("kept 12 of 30 namespace changes").
  std::string WriteCrashState(const std::filesystem::path& dir, Model model, unsigned seed) const;

  // The file system's operations (power_cut_fs.cc).
  friend struct PowerCutOps;

 private:
  struct Node {
    bool directory = false;
    unsigned mode = 0;
    std::map<std::string, int> entries;  // directory: name -> node
    std::string synced;                  // file: content at its last sync
    bool everSynced = false;             // file: `synced` holds a content
    std::uint64_t size = 0;              // file: length now
  };
  using Tree = std::vector<Node>;  // node 0 is the root
  struct Change {
    enum Kind { kCreate, kMkdir, kUnlink, kRmdir, kRename, kLink } kind;
    std::string from, to;  // paths below the mount ("/a/b"); `to` for rename and link
    int node = -1;         // the created node (kCreate, kMkdir)
    unsigned flags = 0;    // rename flags
  };

  static int Resolve(const Tree& tree, const std::string& path);
  // Applies a namespace change to `tree`; false when a path does not resolve.
  static bool Apply(Tree& tree, const Change& change);
  // Counts a change (and an event); false once the power is off.
  bool Admit(bool event);
  // Records a change the backing directory has just made.
  void Record(const Change& change);
  void SyncFile(int node, int fd);
  void SyncDirectory(int node);
  void SyncEverything();
  void LoadTree(const std::filesystem::path& dir, int node);
  // Calls `visit` with every file reachable now and its path on the mount.
  void ForEachFile(const std::function<void(int node, const std::string& path)>& visit) const;
  // What the backing file at a mount path holds now.
  std::string ContentNow(const std::string& path) const;
  void WriteTree(const Tree& tree, int node, const std::filesystem::path& dir,
                 const std::map<int, std::string>& shown) const;
  static const fuse_operations& Operations();  // power_cut_fs_ops.cc

  std::string problem_;
  std::filesystem::path mountPoint_;
  int backingFd_ = -1;
  struct fuse* fuse_ = nullptr;
  std::thread loop_;

  Tree initial_;  // the namespace at mount time
  Tree tree_;     // the namespace now, and every node's data
  std::vector<Change> log_;
  std::vector<std::size_t> lastChangeIn_;  // per node: log length after its last entry change
  std::size_t durableChanges_ = 0;         // the log prefix a crash keeps at least
  std::map<int, int> openFiles_;           // backing descriptor -> node

  std::atomic<int> events_{0};
  std::atomic<int> changes_{0};
  std::atomic<int> cutAtEvent_{0};
  std::atomic<int> cutAtChange_{0};
  std::atomic<bool> powerCut_{false};
};

}  // namespace launcher::testing
