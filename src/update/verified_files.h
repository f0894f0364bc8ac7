// The record of verified files ("verified.sw", format in docs/formats.md):
// for each relative path of ../patcher/ whose digest the launcher has
// computed, or whose file it installed itself, the file's stamp (size, time
// stamps, identity) at that moment and the digests known for that content:
// the MD5 of its compressed form (what the lists give) and the SHA-256 of
// the file itself (what a release manifest gives), either or both. While the
// stamp on disk still equals the recorded one, a recorded digest answers
// "is it current?" without reading the file.
//
// The record is only ever a shortcut. A missing, unreadable or damaged
// record is an empty one; an entry whose file was touched within the
// time-stamp granularity of the moment the entry was saved ("racily clean",
// as git calls it) is not trusted, since a later change in the same tick
// would leave the stamp as it was.
//
// VerifiedFiles is a plain value, used by one thread. The process-wide
// record below belongs to the worker thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/file_stamp.h"

namespace launcher {

struct VerifiedEntry {
  FileStamp stamp;
  std::string digest;           // text form of the compressed form's MD5, or empty
  std::string sha256;           // text form of the file's SHA-256, or empty
  std::int64_t recordedNs = 0;  // when the entry was saved; 0 until then
};

// Steps in which the file system may stamp this file: a file whose two time
// stamps are whole seconds lives on a file system of coarse stamps (2 s for
// FAT); otherwise the stamps are fine and move with the system tick.
std::int64_t StampGranularityNs(const FileStamp& stamp);
// True when the entry's file was touched too close to the moment the entry
// was saved for its stamp to prove that nothing changed afterwards.
bool IsRacilyClean(const VerifiedEntry& entry);

class VerifiedFiles {
 public:
  // The text of the record: every entry, sorted by path, entries not yet
  // saved stamped with `nowNs`. Parse accepts exactly that form and is all
  // or nothing: false (and an empty record) for anything else.
  std::string Format(std::int64_t nowNs) const;
  bool Parse(std::string_view text);

  // Replaces the contents with the record at `path`; anything unreadable
  // leaves it empty.
  void Load(std::u16string_view path);
  // Writes the record to `path` through a temporary file renamed over it.
  // Entries recorded since the last Load or Save get the current time.
  bool Save(std::u16string_view path);

  // The digest recorded for `relativePath` when `stamp` equals the recorded
  // stamp and the entry is not racily clean; null otherwise.
  const std::string* Find(std::u16string_view relativePath, const FileStamp& stamp) const;
  // The same for the SHA-256 of the file.
  const std::string* FindSha256(std::u16string_view relativePath, const FileStamp& stamp) const;
  // Records one digest of the file with `stamp`. A digest recorded before
  // for the same stamp is kept beside it; one for another stamp is dropped.
  void Record(std::u16string_view relativePath, const FileStamp& stamp, std::string_view digest);
  void RecordSha256(std::u16string_view relativePath, const FileStamp& stamp,
                    std::string_view sha256);
  void Forget(std::u16string_view relativePath);
  void Clear();

  std::size_t size() const { return entries_.size(); }
  bool dirty() const { return dirty_; }
  // Youngest time stamp among the entries not yet saved (0 when none).
  std::int64_t YoungestUnsavedNs() const;

 private:
  VerifiedEntry* Entry(std::u16string_view relativePath, const FileStamp& stamp);
  const VerifiedEntry* Trusted(std::u16string_view relativePath, const FileStamp& stamp) const;

  std::unordered_map<std::string, VerifiedEntry> entries_;  // key: UTF-8 path
  bool dirty_ = false;
};

// --- The worker's record ---------------------------------------------------

// Loads "verified.sw" for an update path. `trusted` false (the full check)
// makes AskVerifiedRecord answer nothing for the whole path, while every
// digest found still refreshes the record.
void BeginVerifiedRecord(bool trusted);
// The recorded digest for the installed file, or null.
const std::string* AskVerifiedRecord(std::u16string_view decodedPath, const FileStamp& stamp);
// The recorded SHA-256 of the installed file, or null.
const std::string* AskVerifiedSha256(std::u16string_view decodedPath, const FileStamp& stamp);
// Records a digest taken of, or known for, the installed file with `stamp`.
void NoteVerifiedFile(std::u16string_view decodedPath, const FileStamp& stamp,
                      std::string_view digest);
void NoteVerifiedSha256(std::u16string_view decodedPath, const FileStamp& stamp,
                        std::string_view sha256);
// Records the installed file at PatcherDirPath + decodedPath as holding
// `digest`, from its current stamp (after an install), and, when a release
// manifest is loaded and names it, the SHA-256 the manifest gives.
void NoteInstalledFile(std::u16string_view decodedPath, std::string_view digest);
void ForgetVerifiedFile(std::u16string_view decodedPath);
// Writes the record when it changed, as one guarded section. With `settle`
// (the end of an update path) it first waits, at most a few ticks of the
// file system's clock, until the files recorded last are no longer racily
// clean, so the next run can trust them.
void SaveVerifiedRecord(bool settle);
// SaveVerifiedRecord(false) when the last save is a second old: keeps
// what an interrupted fetch pass has learnt without rewriting the record for
// every small file.
void SaveVerifiedRecordNowAndThen();
// Drops the worker's record without saving (tests, and the reset of the
// engine's state).
void ResetVerifiedRecord();

}  // namespace launcher
