#include "files/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "files/replace_file.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "platform/native_file.h"

namespace launcher {
namespace {

std::string Native(std::u16string_view path) { return ToPath(path).string(); }

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A move between file systems: copy beside the target, put the copy in
// place without replacing anything, then remove the source.
bool MoveAcrossFileSystems(const std::string& source, const std::string& target) {
  FileReplacement copy(target, 0600);
  if (!copy.is_open() || !copy.file().CopyFrom(source) ||
      !copy.Commit(Durability::kAtomic, Overwrite::kRefuse)) {
    return false;
  }
  if (unlink(source.c_str()) != 0) {
    // Both copies exist now; undo, so that a failed move changes nothing.
    unlink(target.c_str());
    return false;
  }
  return true;
}

}  // namespace

void ClearFileAttributes(std::u16string_view path) {
  std::string native = Native(path);
  struct stat info {};
  if (stat(native.c_str(), &info) != 0) return;
  if ((info.st_mode & S_IWUSR) == 0) chmod(native.c_str(), (info.st_mode & 07777) | S_IWUSR);
}

bool MoveFileLogged(std::u16string_view source, std::u16string_view target) {
  ClearFileAttributes(source);
  ClearFileAttributes(target);
  std::string from = Native(source);
  std::string to = Native(target);
  bool crossDevice = false;
  bool moved =
      RenameNoReplace(from, to, &crossDevice) || (crossDevice && MoveAcrossFileSystems(from, to));
  if (!moved) LogFileOperationFailure(MSG_MOVE_FAILED, source, target);
  return moved;
}

bool CopyFileLogged(std::u16string_view source, std::u16string_view target, int failIfExists) {
  ClearFileAttributes(target);
  std::string from = Native(source);
  std::string to = Native(target);
  // The copy is written under a temporary name and renamed over the target
  // only when complete, so a failed copy never leaves a half-written target
  // and the old target survives it. No sync: these are log generations.
  FileReplacement copy(to, 0600);
  bool copied = copy.is_open() && copy.file().CopyFrom(from) &&
                copy.Commit(Durability::kAtomic,
                            failIfExists != 0 ? Overwrite::kRefuse : Overwrite::kReplace);
  if (!copied) LogFileOperationFailure(MSG_COPY_FAILED, source, target);
  return copied;
}

int DeleteFileForced(std::u16string_view path) {
  ClearFileAttributes(path);
  return unlink(Native(path).c_str()) == 0 ? 1 : 0;
}

std::int64_t QueryFileSize(std::u16string_view path) {
  Fd fd(open(Native(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return -1;
  struct stat info {};
  // A directory is not a file whose size can be read.
  if (fstat(fd.get(), &info) != 0 || S_ISDIR(info.st_mode)) return -1;
  return static_cast<std::int64_t>(info.st_size);
}

}  // namespace launcher
