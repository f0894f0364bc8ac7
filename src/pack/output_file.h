// A buffered file written through a temporary file beside its target and
// renamed over the target only when complete (files/replace_file.h), so a
// failure never leaves a partial or replaced target. Used by one thread at a
// time; the temporary file is removed when the object goes away without
// Commit.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

#include "files/replace_file.h"

namespace launcher {

class OutputFile {
 public:
  enum class Writes {
    kCached,  // through the page cache, writeback started as the data come
    kBulk,    // a file that is synced once written: full buffers past the
              // page cache where the system allows (NativeFile::WriteBulk)
  };

  // Creates the temporary file in the target's directory. Check is_open().
  explicit OutputFile(const std::filesystem::path& target, Writes writes = Writes::kCached);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool is_open() const { return replacement_.is_open(); }
  // Appends bytes (buffered). False on a write error; later writes fail too.
  bool Write(const void* data, std::size_t size);
  // Flushes and renames the file over the target, with its data synced to
  // the disk first (kSyncData) or left to a later SyncFileData of the
  // target (kAtomic). Writeback starts as the data are written either way.
  bool Commit(Durability durability = Durability::kSyncData);

 private:
  struct AlignedFree {
    void operator()(char* p) const;
  };

  bool FlushFull();  // writes a full buffer
  bool FlushRest();  // writes what is left, of any length

  FileReplacement replacement_;
  Writes writes_;
  bool failed_ = false;
  std::size_t capacity_;
  std::size_t used_ = 0;
  std::unique_ptr<char, AlignedFree> buffer_;
};

}  // namespace launcher
