// A whole file mapped into the address space: a regular file read through
// the mapping, or a new file of a fixed length written through it. Used
// where a byte-level library needs the whole of a large file addressable
// (the base and the result of a patch) without copying it into the heap:
// the pages belong to the page cache, the kernel reads them in as they are
// touched and may drop clean ones under memory pressure.
//
// A mapping of a file that another program truncates meanwhile faults
// (SIGBUS on Linux) when a page past the new end is touched. On Windows the
// file is opened so that no other program may write it while it is mapped.
//
// One object owns at most one mapping and its handles, and releases them
// when it goes or on Close(). Used by one thread at a time; the mapped bytes
// may be read by any thread while the object lives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace launcher {

class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Maps the regular file at `path` for reading, without following a
  // symbolic link. An empty file gives size 0 and no data. False when the
  // file cannot be opened or mapped.
  bool OpenRead(const std::filesystem::path& path);

  // Creates `path`, which must not exist yet (`exists` is set when it did),
  // with exactly `size` bytes whose disk space is reserved first, so a full
  // disk shows here and not as a fault while the pages are written; then
  // maps it for reading and writing. `mode` is the POSIX permission bits
  // before the umask (Windows ignores it). False on any failure; a file
  // this call created is removed again.
  bool CreateNew(const std::filesystem::path& path, std::uint64_t size, unsigned mode,
                 bool& exists);

  bool is_open() const { return open_; }
  const unsigned char* data() const { return data_; }
  unsigned char* writable_data() { return writable_ ? data_ : nullptr; }
  std::uint64_t size() const { return size_; }

  // A written mapping: starts writing `length` bytes at `offset` to the
  // disk without waiting (Linux; nothing elsewhere), so the final Sync has
  // little left to wait for.
  void StartWriteback(std::uint64_t offset, std::uint64_t length);
  // A written mapping: returns once its bytes and the file's length are on
  // the disk.
  bool Sync();
  // Tells the system the mapping will be read once from start to end.
  void AdviseSequential();

  // Unmaps and closes; false when anything failed. The pages of a written
  // mapping stay in the system's cache, where a later sync of the file
  // (SyncFileData) reaches them; Sync first when they must be on the disk
  // now.
  bool Close();

 private:
  bool MapWhole(bool writable);
  void Release();

  bool open_ = false;
  bool writable_ = false;
  unsigned char* data_ = nullptr;
  std::uint64_t size_ = 0;
  std::intptr_t file_ = -1;     // a descriptor, or a HANDLE on Windows
  std::intptr_t mapping_ = -1;  // the section handle on Windows
};

}  // namespace launcher
