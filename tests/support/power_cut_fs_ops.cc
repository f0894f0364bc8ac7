#define FUSE_USE_VERSION 31
#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/power_cut_fs.h"

namespace launcher::testing {

namespace {

// A path of the mount ("/a/b") relative to the backing directory.
const char* Rel(const char* path) { return path[1] == '\0' ? "." : path + 1; }

struct DirHandle {
  DIR* dir;
  int node;
};

}  // namespace

// The operations, each passed through to the backing directory; those that
// change something ask Admit first and record what they changed.
struct PowerCutOps {
  static PowerCutFs& Self() { return *static_cast<PowerCutFs*>(fuse_get_context()->private_data); }
  static int Fd(const fuse_file_info* fi) { return static_cast<int>(fi->fh); }
  static int Result(int result) { return result < 0 ? -errno : 0; }

  static void UpdateSize(int node, int fd) {
    struct stat st {};
    if (node >= 0 && ::fstat(fd, &st) == 0)
      Self().tree_[static_cast<std::size_t>(node)].size = static_cast<std::uint64_t>(st.st_size);
  }
  static int NodeOf(const fuse_file_info* fi) {
    const auto it = Self().openFiles_.find(Fd(fi));
    return it == Self().openFiles_.end() ? -1 : it->second;
  }

  static void* Init(fuse_conn_info*, fuse_config* cfg) {
    // Every lookup comes here, so renames show at once; an unlinked open
    // file is really unlinked, not renamed to a hidden name.
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->hard_remove = 1;
    cfg->nullpath_ok = 1;
    return fuse_get_context()->private_data;
  }

  static int GetAttr(const char* path, struct stat* st, fuse_file_info* fi) {
    if (fi != nullptr) return Result(::fstat(Fd(fi), st));
    return Result(::fstatat(Self().backingFd_, Rel(path), st, AT_SYMLINK_NOFOLLOW));
  }
  static int Access(const char* path, int mask) {
    return Result(::faccessat(Self().backingFd_, Rel(path), mask, 0));
  }

  static int OpenDir(const char* path, fuse_file_info* fi) {
    const int fd = ::openat(Self().backingFd_, Rel(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -errno;
    fi->fh = reinterpret_cast<std::uintptr_t>(
        new DirHandle{::fdopendir(fd), PowerCutFs::Resolve(Self().tree_, path)});
    return 0;
  }
  static DirHandle* Dir(const fuse_file_info* fi) { return reinterpret_cast<DirHandle*>(fi->fh); }
  static int ReadDir(const char*, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info* fi,
                     fuse_readdir_flags) {
    // Offset 0 for every entry: libfuse takes the whole directory at once.
    ::rewinddir(Dir(fi)->dir);
    while (dirent* entry = ::readdir(Dir(fi)->dir)) {
      if (fill(buf, entry->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0))) break;
    }
    return 0;
  }
  static int ReleaseDir(const char*, fuse_file_info* fi) {
    ::closedir(Dir(fi)->dir);
    delete Dir(fi);
    return 0;
  }
  static int FsyncDir(const char*, int, fuse_file_info* fi) {
    if (!Self().Admit(true)) return -EIO;
    if (Dir(fi)->node >= 0) Self().SyncDirectory(Dir(fi)->node);
    return 0;
  }

  static int Mkdir(const char* path, mode_t mode) {
    PowerCutFs& self = Self();
    if (!self.Admit(false)) return -EIO;
    if (::mkdirat(self.backingFd_, Rel(path), mode) != 0) return -errno;
    struct stat st {};
    ::fstatat(self.backingFd_, Rel(path), &st, 0);
    self.tree_.push_back({true, st.st_mode & 07777, {}, {}, false, 0});
    self.Record({PowerCutFs::Change::kMkdir, path, {}, static_cast<int>(self.tree_.size()) - 1, 0});
    return 0;
  }

  // Opens the backing file readable too, so that a sync can read it back;
  // O_DIRECT is left out (see the header).
  static int BackingFlags(int flags) {
    flags &= ~O_DIRECT;
    if ((flags & O_ACCMODE) == O_WRONLY) flags = (flags & ~O_ACCMODE) | O_RDWR;
    return flags | O_CLOEXEC;
  }
  static int Opened(const char* path, int fd, fuse_file_info* fi) {
    const int node = PowerCutFs::Resolve(Self().tree_, path);
    Self().openFiles_[fd] = node;
    UpdateSize(node, fd);
    fi->fh = static_cast<std::uint64_t>(fd);
    return 0;
  }
  static int Create(const char* path, mode_t mode, fuse_file_info* fi) {
    PowerCutFs& self = Self();
    if (!self.Admit(false)) return -EIO;
    const bool existed = PowerCutFs::Resolve(self.tree_, path) >= 0;
    const int fd = ::openat(self.backingFd_, Rel(path), BackingFlags(fi->flags) | O_CREAT, mode);
    if (fd < 0) return -errno;
    if (!existed) {
      struct stat st {};
      ::fstat(fd, &st);
      self.tree_.push_back({false, st.st_mode & 07777, {}, {}, false, 0});
      self.Record(
          {PowerCutFs::Change::kCreate, path, {}, static_cast<int>(self.tree_.size()) - 1, 0});
    }
    return Opened(path, fd, fi);
  }
  static int Open(const char* path, fuse_file_info* fi) {
    if ((fi->flags & O_TRUNC) != 0 && !Self().Admit(false)) return -EIO;
    const int fd = ::openat(Self().backingFd_, Rel(path), BackingFlags(fi->flags));
    return fd < 0 ? -errno : Opened(path, fd, fi);
  }
  static int Read(const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
    const ssize_t n = ::pread(Fd(fi), buf, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
  }
  static int Write(const char*, const char* buf, size_t size, off_t offset, fuse_file_info* fi) {
    if (!Self().Admit(false)) return -EIO;
    const ssize_t n = ::pwrite(Fd(fi), buf, size, offset);
    if (n < 0) return -errno;
    UpdateSize(NodeOf(fi), Fd(fi));
    return static_cast<int>(n);
  }
  static int Truncate(const char* path, off_t size, fuse_file_info* fi) {
    if (!Self().Admit(false)) return -EIO;
    const int fd =
        fi != nullptr ? Fd(fi) : ::openat(Self().backingFd_, Rel(path), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    const int result = Result(::ftruncate(fd, size));
    UpdateSize(fi != nullptr ? NodeOf(fi) : PowerCutFs::Resolve(Self().tree_, path), fd);
    if (fi == nullptr) ::close(fd);
    return result;
  }
  static int Fallocate(const char*, int mode, off_t offset, off_t length, fuse_file_info* fi) {
    if (mode != 0) return -EOPNOTSUPP;
    if (!Self().Admit(false)) return -EIO;
    const int result = -::posix_fallocate(Fd(fi), offset, length);
    UpdateSize(NodeOf(fi), Fd(fi));
    return result;
  }
  static int Fsync(const char*, int, fuse_file_info* fi) {
    if (!Self().Admit(true)) return -EIO;
    const int node = NodeOf(fi);
    if (node >= 0) Self().SyncFile(node, Fd(fi));
    return 0;
  }
  static int Flush(const char*, fuse_file_info*) { return 0; }
  static int Release(const char*, fuse_file_info* fi) {
    Self().openFiles_.erase(Fd(fi));
    ::close(Fd(fi));
    return 0;
  }

  static int Unlink(const char* path) {
    if (!Self().Admit(false)) return -EIO;
    if (::unlinkat(Self().backingFd_, Rel(path), 0) != 0) return -errno;
    Self().Record({PowerCutFs::Change::kUnlink, path, {}, -1, 0});
    return 0;
  }
  static int Rmdir(const char* path) {
    if (!Self().Admit(false)) return -EIO;
    if (::unlinkat(Self().backingFd_, Rel(path), AT_REMOVEDIR) != 0) return -errno;
    Self().Record({PowerCutFs::Change::kRmdir, path, {}, -1, 0});
    return 0;
  }
  static int Rename(const char* from, const char* to, unsigned flags) {
    if (!Self().Admit(true)) return -EIO;
    const int fd = Self().backingFd_;
    if (::syscall(SYS_renameat2, fd, Rel(from), fd, Rel(to), flags) != 0) return -errno;
    Self().Record({PowerCutFs::Change::kRename, from, to, -1, flags});
    return 0;
  }
  static int Link(const char* from, const char* to) {
    if (!Self().Admit(false)) return -EIO;
    if (::linkat(Self().backingFd_, Rel(from), Self().backingFd_, Rel(to), 0) != 0) return -errno;
    Self().Record({PowerCutFs::Change::kLink, from, to, -1, 0});
    return 0;
  }
  static int Chmod(const char* path, mode_t mode, fuse_file_info* fi) {
    if (!Self().Admit(false)) return -EIO;
    const int result =
        fi != nullptr ? ::fchmod(Fd(fi), mode) : ::fchmodat(Self().backingFd_, Rel(path), mode, 0);
    const int node = fi != nullptr ? NodeOf(fi) : PowerCutFs::Resolve(Self().tree_, path);
    if (result == 0 && node >= 0) Self().tree_[static_cast<std::size_t>(node)].mode = mode & 07777;
    return Result(result);
  }
  static int Chown(const char* path, uid_t uid, gid_t gid, fuse_file_info*) {
    if (!Self().Admit(false)) return -EIO;
    return Result(::fchownat(Self().backingFd_, Rel(path), uid, gid, AT_SYMLINK_NOFOLLOW));
  }
  static int Utimens(const char* path, const timespec ts[2], fuse_file_info* fi) {
    if (!Self().Admit(false)) return -EIO;
    if (fi != nullptr) return Result(::futimens(Fd(fi), ts));
    return Result(::utimensat(Self().backingFd_, Rel(path), ts, AT_SYMLINK_NOFOLLOW));
  }
  static int StatFs(const char*, struct statvfs* st) {
    return Result(::fstatvfs(Self().backingFd_, st));
  }
  static int GetXattr(const char*, const char* name, char*, size_t) {
    if (std::strcmp(name, PowerCutFs::kSyncfsNoticeAttribute) == 0 && Self().Admit(true))
      Self().SyncEverything();
    return -ENODATA;
  }
  static int SetXattr(const char*, const char*, const char*, size_t, int) { return -ENOTSUP; }

  static fuse_operations Table() {
    fuse_operations ops{};
    ops.init = Init;
    ops.getattr = GetAttr;
    ops.access = Access;
    ops.opendir = OpenDir;
    ops.readdir = ReadDir;
    ops.releasedir = ReleaseDir;
    ops.fsyncdir = FsyncDir;
    ops.mkdir = Mkdir;
    ops.create = Create;
    ops.open = Open;
    ops.read = Read;
    ops.write = Write;
    ops.truncate = Truncate;
    ops.fallocate = Fallocate;
    ops.fsync = Fsync;
    ops.flush = Flush;
    ops.release = Release;
    ops.unlink = Unlink;
    ops.rmdir = Rmdir;
    ops.rename = Rename;
    ops.link = Link;
    ops.symlink = [](const char*, const char*) { return -EPERM; };
    ops.mknod = [](const char*, mode_t, dev_t) { return -EPERM; };
    ops.chmod = Chmod;
    ops.chown = Chown;
    ops.utimens = Utimens;
    ops.statfs = StatFs;
    ops.getxattr = GetXattr;
    ops.setxattr = SetXattr;
    return ops;
  }
};

const fuse_operations& PowerCutFs::Operations() {
  static const fuse_operations ops = PowerCutOps::Table();
  return ops;
}

}  // namespace launcher::testing
