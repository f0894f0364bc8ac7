#include "update/verified_files.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "crypto/md5_digest.h"
#include "files/paths.h"
#include "files/replace_file.h"
#include "files/utf16.h"
#include "platform/clock.h"
#include "seam/cancel.h"
#include "update/transfer_plan.h"

namespace launcher {
namespace {

// Version 2 adds the SHA-256 column; a version 1 record (MD5 only) is still
// read.
constexpr std::string_view kHeader = "verified-files 2\n";
constexpr std::string_view kHeaderV1 = "verified-files 1\n";
constexpr std::string_view kTrailer = "end ";
constexpr std::int64_t kSecondNs = 1000000000;
// Fine stamps come from the system tick (at most 10 ms on Linux, 15.6 ms on
// Windows); the margin covers a tick and the lag of the clock that stamps.
constexpr std::int64_t kFineGranularityNs = 50 * 1000000;
constexpr std::int64_t kCoarseGranularityNs = 2 * kSecondNs;
// A record this large is not one the launcher wrote for any real list.
constexpr std::uintmax_t kMaxRecordBytes = 64u << 20;

bool IsLowerHex(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool IsDigestText(std::string_view text) { return text.size() == 32 && IsLowerHex(text); }

// Reads one decimal number up to the next blank; advances `text`.
template <typename T>
bool TakeNumber(std::string_view& text, T& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data() + text.size() || *end != ' ') return false;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()) + 1);
  return true;
}

// One digest column: its text, or "-" for none. Advances `line`.
bool TakeDigest(std::string_view& line, std::size_t length, std::string& digest) {
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos) return false;
  const std::string_view word = line.substr(0, space);
  if (word == "-") {
    digest.clear();
  } else if (word.size() == length && IsLowerHex(word)) {
    digest = std::string(word);
  } else {
    return false;
  }
  line.remove_prefix(space + 1);
  return true;
}

bool ParseEntry(std::string_view line, bool withSha256, std::string& path, VerifiedEntry& entry) {
  if (!TakeDigest(line, 32, entry.digest)) return false;
  if (withSha256 && !TakeDigest(line, 64, entry.sha256)) return false;
  if (entry.digest.empty() && entry.sha256.empty()) return false;
  FileStamp& s = entry.stamp;
  if (!TakeNumber(line, s.size) || !TakeNumber(line, s.modifiedNs) ||
      !TakeNumber(line, s.changedNs) || !TakeNumber(line, s.fileId) ||
      !TakeNumber(line, s.volumeId) || !TakeNumber(line, entry.recordedNs)) {
    return false;
  }
  if (line.empty() || entry.recordedNs <= 0) return false;
  path = std::string(line);
  return true;
}

std::string ReadWholeFile(std::u16string_view path) {
  std::error_code ec;
  const std::filesystem::path file = ToPath(path);
  const std::uintmax_t size = std::filesystem::file_size(file, ec);
  if (ec || size > kMaxRecordBytes) return {};
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::int64_t StampGranularityNs(const FileStamp& stamp) {
  const bool coarse = stamp.modifiedNs % kSecondNs == 0 && stamp.changedNs % kSecondNs == 0;
  return coarse ? kCoarseGranularityNs : kFineGranularityNs;
}

bool IsRacilyClean(const VerifiedEntry& entry) {
  const std::int64_t touched = std::max(entry.stamp.modifiedNs, entry.stamp.changedNs);
  return touched >= entry.recordedNs - StampGranularityNs(entry.stamp);
}

std::string VerifiedFiles::Format(std::int64_t nowNs) const {
  std::vector<const std::pair<const std::string, VerifiedEntry>*> sorted;
  sorted.reserve(entries_.size());
  for (const auto& item : entries_) sorted.push_back(&item);
  std::sort(sorted.begin(), sorted.end(), [](auto* a, auto* b) { return a->first < b->first; });

  std::string text(kHeader);
  for (const auto* item : sorted) {
    const VerifiedEntry& e = item->second;
    const FileStamp& s = e.stamp;
    text += (e.digest.empty() ? "-" : e.digest) + ' ' + (e.sha256.empty() ? "-" : e.sha256) + ' ' +
            std::to_string(s.size) + ' ' + std::to_string(s.modifiedNs) + ' ' +
            std::to_string(s.changedNs) + ' ' + std::to_string(s.fileId) + ' ' +
            std::to_string(s.volumeId) + ' ' +
            std::to_string(e.recordedNs != 0 ? e.recordedNs : nowNs) + ' ' + item->first + '\n';
  }
  const std::string digest = Md5Hex(text);
  text += std::string(kTrailer) + digest + '\n';
  return text;
}

bool VerifiedFiles::Parse(std::string_view text) {
  Clear();
  // The trailer holds the digest of everything before it: a record cut
  // short, or changed by anything but the launcher, is dropped whole.
  const std::size_t trailerSize = kTrailer.size() + 33;
  const bool v2 = text.substr(0, kHeader.size()) == kHeader;
  if (text.size() < kHeader.size() + trailerSize ||
      (!v2 && text.substr(0, kHeaderV1.size()) != kHeaderV1) || text.back() != '\n') {
    return false;
  }
  const std::string_view body = text.substr(0, text.size() - trailerSize);
  const std::string_view trailer = text.substr(body.size());
  if (trailer.substr(0, kTrailer.size()) != kTrailer ||
      trailer.substr(kTrailer.size(), 32) != Md5Hex(body)) {
    return false;
  }
  std::string_view rest = body.substr(kHeader.size());
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) break;
    std::string path;
    VerifiedEntry entry;
    if (!ParseEntry(rest.substr(0, end), v2, path, entry)) {
      Clear();
      return false;
    }
    entries_[path] = std::move(entry);
    rest.remove_prefix(end + 1);
  }
  dirty_ = false;
  return true;
}

void VerifiedFiles::Load(std::u16string_view path) { Parse(ReadWholeFile(path)); }

bool VerifiedFiles::Save(std::u16string_view path) {
  const std::int64_t now = FileClockNowNs();
  if (!ReplaceFileContents(ToPath(path), Format(now), Durability::kAtomic)) return false;
  for (auto& item : entries_) {
    if (item.second.recordedNs == 0) item.second.recordedNs = now;
  }
  dirty_ = false;
  return true;
}

const VerifiedEntry* VerifiedFiles::Trusted(std::u16string_view relativePath,
                                            const FileStamp& stamp) const {
  const auto found = entries_.find(ToUtf8(relativePath));
  if (found == entries_.end()) return nullptr;
  const VerifiedEntry& entry = found->second;
  if (entry.recordedNs == 0 || !(entry.stamp == stamp) || IsRacilyClean(entry)) return nullptr;
  return &entry;
}

const std::string* VerifiedFiles::Find(std::u16string_view relativePath,
                                       const FileStamp& stamp) const {
  const VerifiedEntry* entry = Trusted(relativePath, stamp);
  return entry != nullptr && !entry->digest.empty() ? &entry->digest : nullptr;
}

const std::string* VerifiedFiles::FindSha256(std::u16string_view relativePath,
                                             const FileStamp& stamp) const {
  const VerifiedEntry* entry = Trusted(relativePath, stamp);
  return entry != nullptr && !entry->sha256.empty() ? &entry->sha256 : nullptr;
}

VerifiedEntry* VerifiedFiles::Entry(std::u16string_view relativePath, const FileStamp& stamp) {
  std::string key = ToUtf8(relativePath);
  // A line break would end the entry early; such a path is simply not
  // recorded and gets checked by content every time.
  if (key.empty() || key.find_first_of("\r\n") != std::string::npos) return nullptr;
  VerifiedEntry& entry = entries_[std::move(key)];
  // Digests known for another stamp describe content that may be gone.
  if (!(entry.stamp == stamp)) {
    entry.digest.clear();
    entry.sha256.clear();
  }
  entry.stamp = stamp;
  entry.recordedNs = 0;
  dirty_ = true;
  return &entry;
}

void VerifiedFiles::Record(std::u16string_view relativePath, const FileStamp& stamp,
                           std::string_view digest) {
  if (!IsDigestText(digest)) return;
  if (VerifiedEntry* entry = Entry(relativePath, stamp)) entry->digest = std::string(digest);
}

void VerifiedFiles::RecordSha256(std::u16string_view relativePath, const FileStamp& stamp,
                                 std::string_view sha256) {
  if (sha256.size() != 64 || !IsLowerHex(sha256)) return;
  if (VerifiedEntry* entry = Entry(relativePath, stamp)) entry->sha256 = std::string(sha256);
}

void VerifiedFiles::Forget(std::u16string_view relativePath) {
  if (entries_.erase(ToUtf8(relativePath)) > 0) dirty_ = true;
}

void VerifiedFiles::Clear() {
  entries_.clear();
  dirty_ = false;
}

std::int64_t VerifiedFiles::YoungestUnsavedNs() const {
  std::int64_t youngest = 0;
  for (const auto& item : entries_) {
    if (item.second.recordedNs != 0) continue;
    const FileStamp& s = item.second.stamp;
    youngest = std::max({youngest, s.modifiedNs, s.changedNs});
  }
  return youngest;
}

// --- The worker's record ---------------------------------------------------

namespace {

constexpr std::uint32_t kSaveEveryMs = 1000;

VerifiedFiles g_record;
bool g_trusted = false;
std::uint32_t g_lastSaveTick = 0;

}  // namespace

void BeginVerifiedRecord(bool trusted) {
  g_record.Load(VerifiedFilesPath);
  g_trusted = trusted;
  g_lastSaveTick = EngineClock().TickCount();
}

const std::string* AskVerifiedRecord(std::u16string_view decodedPath, const FileStamp& stamp) {
  return g_trusted ? g_record.Find(decodedPath, stamp) : nullptr;
}

const std::string* AskVerifiedSha256(std::u16string_view decodedPath, const FileStamp& stamp) {
  return g_trusted ? g_record.FindSha256(decodedPath, stamp) : nullptr;
}

void NoteVerifiedFile(std::u16string_view decodedPath, const FileStamp& stamp,
                      std::string_view digest) {
  g_record.Record(decodedPath, stamp, digest);
}

void NoteVerifiedSha256(std::u16string_view decodedPath, const FileStamp& stamp,
                        std::string_view sha256) {
  g_record.RecordSha256(decodedPath, stamp, sha256);
}

void NoteInstalledFile(std::u16string_view decodedPath, std::string_view digest) {
  FileStamp stamp;
  if (ReadFileStamp(ToPath(PatcherDirPath + std::u16string(decodedPath)), stamp)) {
    g_record.Record(decodedPath, stamp, digest);
    // The file came from a compressed form whose SHA-256 the signed
    // manifest gave: its content is the one the manifest describes.
    ManifestEntry signedEntry;
    if (SignedEntryFor(decodedPath, signedEntry) &&
        static_cast<std::int64_t>(stamp.size) == signedEntry.installedSize) {
      g_record.RecordSha256(decodedPath, stamp, signedEntry.installedSha256);
    }
  } else {
    g_record.Forget(decodedPath);
  }
}

void ForgetVerifiedFile(std::u16string_view decodedPath) { g_record.Forget(decodedPath); }

void SaveVerifiedRecord(bool settle) {
  if (!g_record.dirty()) return;
  if (settle) {
    // Only fine stamps are worth waiting for; a coarse file system's entries
    // stay racily clean and are read once more in the next run.
    const std::int64_t wait = g_record.YoungestUnsavedNs() + kFineGranularityNs - FileClockNowNs();
    if (wait > 0 && wait <= kFineGranularityNs) {
      std::this_thread::sleep_for(std::chrono::nanoseconds(wait + 1000000));
    }
  }
  GuardedSection guard;
  g_record.Save(VerifiedFilesPath);
  g_lastSaveTick = EngineClock().TickCount();
}

void SaveVerifiedRecordNowAndThen() {
  if (static_cast<std::uint32_t>(EngineClock().TickCount() - g_lastSaveTick) >= kSaveEveryMs) {
    SaveVerifiedRecord(false);
  }
}

void ResetVerifiedRecord() {
  g_record.Clear();
  g_trusted = false;
}

}  // namespace launcher
