// The operating system's part of replacing a file: a new file written
// through a native handle, its data flushed to the disk, renames that
// replace or refuse to replace a target, and the sync of a directory entry.
// files/replace_file.h builds the one replace sequence of the program from
// these; nothing else should need them.
//
// Threading: every function may be called from any thread. A NativeFile is
// used by one thread at a time. Failures are return values; on POSIX errno
// tells the cause.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

namespace launcher {

// An open file created by this program. Closed when the object goes away.
class NativeFile {
 public:
  NativeFile() = default;
  ~NativeFile();
  NativeFile(const NativeFile&) = delete;
  NativeFile& operator=(const NativeFile&) = delete;

  // Creates `path`, which must not exist yet, for writing. `mode` is the
  // POSIX permission bits before the umask (Windows ignores it). False when
  // the file exists (`exists` is then set) or cannot be created.
  bool CreateNew(const std::filesystem::path& path, unsigned mode, bool& exists);
  bool is_open() const { return handle_ != kNone; }
  // Writes all of `data` at the current end. False on any error.
  bool Write(const void* data, std::size_t size);
  // Alignment WriteBulk needs of its data, of their size and of the file's
  // length so far.
  static constexpr std::size_t kBulkAlignment = 4096;
  // Writes all of `data` at the current end like Write, for large files that
  // are synced once written: on Linux past the page cache (O_DIRECT) where
  // the file system takes it, so the data go to the disk as they are written
  // and a later SyncData has little left to do; otherwise, and on Windows,
  // as Write. `data`, `size` and the length written so far must be
  // multiples of kBulkAlignment. Write and WriteBulk may be mixed.
  bool WriteBulk(const void* data, std::size_t size);
  // Copies the whole regular file `source` into this (empty) file and gives
  // it the permission bits of `source`. False when `source` is not a regular
  // file or cannot be read, or on a write error.
  bool CopyFrom(const std::filesystem::path& source);
  // Sets the permission bits, ignoring the umask (Windows: nothing).
  bool SetMode(unsigned mode);
  // Returns once the data written so far, and the file's length, are on the
  // disk (fdatasync; FlushFileBuffers).
  bool SyncData();
  // Starts writing the data written so far to the disk and returns without
  // waiting (sync_file_range with SYNC_FILE_RANGE_WRITE; nothing on
  // Windows), so that a later SyncData, or SyncFileData of the file, finds
  // little left to wait for.
  void StartWriteback();
  // Closes the file and reports whether the close succeeded (a delayed
  // write error shows here).
  bool Close();

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;  // a descriptor, or a HANDLE on Windows
  bool direct_ = false;           // O_DIRECT is set on the descriptor
  bool noDirect_ = false;         // the file system refused it
};

// Renames `from` to `to`, replacing `to` when it exists. With writeThrough
// the call returns only when the rename is on the disk where the platform
// can do that in one step (Windows: MOVEFILE_WRITE_THROUGH); on POSIX the
// caller syncs the directory instead (SyncDirectory). On failure
// `crossDevice` (when given) tells whether the two lie on different file
// systems.
bool RenameReplacing(const std::filesystem::path& from, const std::filesystem::path& to,
                     bool writeThrough, bool* crossDevice = nullptr);

// Renames `from` to `to` only when `to` does not exist; never replaces it.
// Where the file system cannot rename without replacing, a hard link and an
// unlink do it, or (without hard links) a check followed by a rename. On
// failure `crossDevice` (when given) tells whether the two lie on different
// file systems.
bool RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to,
                     bool* crossDevice = nullptr);

// Makes the entries of `directory` (created, renamed, removed names) durable:
// fsync of the directory on POSIX. Nothing to do on Windows, where the
// write-through rename already is (true there).
bool SyncDirectory(const std::filesystem::path& directory);

// Returns once the data of the existing file at `path` are on the disk, as
// SyncData would for its writer (a staged file whose sync was deferred).
bool SyncFileData(const std::filesystem::path& path);

// Removes a file; false when it could not be removed.
bool RemoveNativeFile(const std::filesystem::path& path);

// Makes a file writable again: the owner's write permission on POSIX, the
// read-only (and every other) attribute cleared on Windows
// (SetFileAttributesW with FILE_ATTRIBUTE_NORMAL). Nothing for a missing
// file or a symbolic link (a reparse point): what a link names is never
// changed.
void ClearFileAttributesNative(const std::filesystem::path& path);

// The size of the file at `path`; -1 when it cannot be opened for reading or
// is a directory.
std::int64_t NativeFileSize(const std::filesystem::path& path);

// What a name is, without following a symbolic link (lstat; on Windows the
// attributes, where a reparse point counts as a link).
enum class FileKind { kMissing, kRegular, kDirectory, kLink, kOther };
FileKind FileKindNoFollow(const std::filesystem::path& path);

// mkdir with mode 0777 before the umask / CreateDirectoryW; false when it
// failed (an existing directory included).
bool CreateDirectoryNative(const std::filesystem::path& path);
// rmdir / RemoveDirectoryW: only an empty directory goes.
bool RemoveDirectoryNative(const std::filesystem::path& path);

// Rewrites the start of the existing regular file `path` in place, with one
// write at offset 0 of what `prepare(size)` puts in `bytes`, without
// truncating and without following a link. False when the file is missing
// or not regular, when `prepare` returns false, or when the write is short.
bool OverwriteFileStart(const std::filesystem::path& path,
                        const std::function<bool(std::uint64_t size, std::string& bytes)>& prepare);

// Opens a standard stream on `path` (on Windows through the UTF-16 name);
// `mode` as for std::fopen. Null on failure.
std::FILE* OpenStdioFile(const std::filesystem::path& path, const char* mode);

// The process id, for names of temporary files that no other process uses.
long CurrentProcessId();

// Makes RenameNoReplace take the path used on file systems that cannot
// rename without replacing (hard link, then unlink). Tests only.
void SimulateRenameNoReplaceUnsupportedForTesting(bool unsupported);

}  // namespace launcher
