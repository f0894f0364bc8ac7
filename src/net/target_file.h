// The download target on disk: created and sized before the body arrives,
// then opened for update and written at explicit offsets. Writes go straight
// to the operating system (no user-space buffer), so whatever a progress
// event reports as written is in the file even if the process dies next.
//
// One object owns at most one open descriptor (a handle on Windows, opened
// through the UTF-16 long name, where a reparse point counts as a link) and
// closes it when destroyed or on Close(). Used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>

namespace launcher {

class TargetFile {
 public:
  TargetFile() = default;
  ~TargetFile() { Close(); }
  TargetFile(const TargetFile&) = delete;
  TargetFile& operator=(const TargetFile&) = delete;

  // Makes an existing file writable, then creates or truncates it; a
  // symbolic link at `path` is replaced by a new file, never followed. False
  // when it cannot be created.
  bool Create(const std::filesystem::path& path);
  // Opens an existing file for reading and writing without truncating it;
  // fails on a symbolic link.
  bool OpenForUpdate(const std::filesystem::path& path);
  bool is_open() const { return fd_ != kNone; }

  // Writes all of `bytes` at `offset`. False on a write error (disk full,
  // file too large).
  bool WriteAt(std::int64_t offset, std::string_view bytes);
  // Reads up to `size` bytes at `offset` into `buffer` (a file opened for
  // update); the count read, fewer only at the end of the file, or -1.
  std::int64_t ReadAt(std::int64_t offset, char* buffer, std::size_t size) const;
  // Current size in bytes, or -1.
  std::int64_t Size() const;
  // Cuts the file (opened for update) to `length` bytes. False on failure.
  bool Truncate(std::int64_t length);
  void Close();

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t fd_ = kNone;  // a descriptor, or a HANDLE on Windows
};

}  // namespace launcher
