// The one way this program replaces a file: write the new content into a
// temporary file beside the target, optionally sync it, rename it over the
// target, and optionally sync the directory (the sequence of leveldb's
// SetCurrentFile). Every file the program writes whole goes through here:
// the state files, copies, installed files, decompressed files and the
// publisher's output. (The resume record is also overwritten in place while
// it does not grow; see update/state_files.h.)
//
// What a reader of the target may see, whatever the durability:
//   - while the program runs, and after it is killed at any moment: the old
//     file or the new one, whole; never a missing, empty or partial target.
//     A kill can leave the temporary file behind: the target's name plus
//     "~lnew" after a dot (a short name of its own for a name near the file
//     system's length limit). It is never read, and the next replacement of
//     the same target removes it, so leftovers never pile up.
// After a power cut or a crash of the system:
//   - kAtomic: nothing more is promised. A file system that delays
//     allocation may show an empty target (xfs; ext4 with noauto_da_alloc).
//   - kSyncData: the old content or the new one, whole; the rename itself
//     may be lost, so the old content may come back after Commit returned.
//   - kDurable: as kSyncData, and once Commit returned the new content stays.
// docs/security.md says what ext4, xfs and NTFS guarantee for each step.
//
// Ownership and threading: a FileReplacement owns its temporary file until
// Commit and removes it when it goes away uncommitted. One replacement of a
// given target at a time (they share the temporary name); replacements of
// different targets are independent and may run on different threads. Not guarded:
// callers that must not be cut by a close of the window wrap Commit in a
// GuardedSection themselves.
#pragma once

#include <filesystem>
#include <string_view>

#include "platform/native_file.h"

namespace launcher {

enum class Durability {
  kAtomic,    // rename only: for files rewritten very often
  kSyncData,  // data synced before the rename
  kDurable,   // data synced, renamed, then the directory synced
};

// Whether Commit may replace an existing target.
enum class Overwrite { kReplace, kRefuse };

class FileReplacement {
 public:
  // Creates the temporary file in the target's directory, first removing
  // one that a killed run left. `mode` is the POSIX permission bits before
  // the umask. Check is_open().
  explicit FileReplacement(const std::filesystem::path& target, unsigned mode = 0666);
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  bool is_open() const { return file_.is_open(); }
  // The open temporary file, for Write, CopyFrom and SetMode. Unbuffered.
  NativeFile& file() { return file_; }
  // Makes the temporary file the target with the given durability and
  // removes the temporary name. Callers commit only after every write
  // succeeded. On failure (the target exists under kRefuse, the disk
  // refused) the temporary file is removed and the target is as it was; on
  // POSIX errno tells why.
  bool Commit(Durability durability, Overwrite overwrite = Overwrite::kReplace);

 private:
  void Discard();

  std::filesystem::path target_;
  std::filesystem::path temporary_;
  NativeFile file_;
};

// The temporary name a FileReplacement of `target` writes under: beside the
// target, for writers that must create the file their own way (a mapped
// file) and still leave only leftovers the cleanup knows.
std::filesystem::path ReplacementTemporaryName(const std::filesystem::path& target);

// True for the name of a temporary file a FileReplacement writes (a kill can
// leave one behind).
bool IsReplacementTemporary(const std::filesystem::path& path);

// Replaces `target` with `content` (mode 0666 before the umask).
bool ReplaceFileContents(const std::filesystem::path& target, std::string_view content,
                         Durability durability);

}  // namespace launcher
