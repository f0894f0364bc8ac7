#include "update/list_entry.h"

#include <unordered_map>

#include "files/log.h"
#include "files/string_table.h"
#include "platform/clock.h"
#include "seam/status_display.h"
#include "update/list_path.h"
#include "update/pass_progress.h"

namespace launcher {
namespace {

// Decodes without touching the display (validation).
bool DecodeChecked(std::string& token, std::u16string& decodedPath, std::u16string* fileName) {
  DecodedListPath decoded = DecodeListPath(token);
  if (fileName != nullptr) *fileName = decoded.fileName;
  if (!decoded.valid || token.size() > kMaxExpandedTokenBytes) return false;
  decodedPath = std::move(decoded.path);
  return SanitizeDecodedPath(decodedPath);
}

bool SplitToListedFile(std::string_view line, bool incremental, ListedFile& file,
                       ListEntryTokens& tokens) {
  if (!SplitListEntry(line, tokens)) return false;
  if (incremental) {
    file.operation = tokens.digestToken[0];
    file.listDigest = tokens.digestToken.substr(1);
  } else {
    file.operation = 0;
    file.listDigest = tokens.digestToken;
  }
  return true;
}

// The file a decoded path names: "./a" and "a" are the same file (a token
// before the first "/" entry decodes without the leading "./").
std::u16string_view FileKey(std::u16string_view decodedPath) {
  if (decodedPath.substr(0, 2) == u"./") decodedPath.remove_prefix(2);
  return decodedPath;
}

// True when a file the list leaves in place (the last entry for its path
// adds or replaces it) lies inside another such file, as "a" and "a/b": no
// tree can hold both, so no run could ever apply the list.
struct LastEntry {
  std::size_t index;  // of the last entry naming the file
  bool present;       // that entry adds or replaces it
};

bool FileInsideAnother(const std::unordered_map<std::u16string, LastEntry>& files) {
  for (const auto& [path, last] : files) {
    if (!last.present) continue;
    for (std::size_t i = path.find(u'/'); i != std::u16string::npos; i = path.find(u'/', i + 1)) {
      auto it = files.find(path.substr(0, i));
      if (it != files.end() && it->second.present) return true;
    }
  }
  return false;
}

}  // namespace

void RewindForPass(ListReader& reader) {
  reader.Rewind();
  CurrentListDir.clear();
}

bool DecodeAndShowListPath(std::string& token, std::u16string& decodedPath) {
  std::u16string fileName;
  bool ok = DecodeChecked(token, decodedPath, &fileName);
  NoteDetailName(fileName);
  SetDetailText(fileName);
  return ok;
}

bool ReadListedFile(std::string_view line, bool incremental, ListedFile& file) {
  ListEntryTokens tokens;
  if (!SplitToListedFile(line, incremental, file, tokens)) return false;
  bool ok = DecodeAndShowListPath(tokens.pathToken, file.decodedPath);
  file.expandedPath = std::move(tokens.pathToken);
  return ok;
}

bool ReadListedFileQuietly(std::string_view line, bool incremental, ListedFile& file) {
  ListEntryTokens tokens;
  if (!SplitToListedFile(line, incremental, file, tokens)) return false;
  bool ok = DecodeChecked(tokens.pathToken, file.decodedPath, nullptr);
  file.expandedPath = std::move(tokens.pathToken);
  return ok;
}

bool ValidateListEntries(ListReader& reader, bool incremental, std::vector<bool>* superseded) {
  const std::string savedDir = CurrentListDir;
  RewindForPass(reader);
  if (superseded != nullptr) superseded->clear();
  std::unordered_map<std::u16string, LastEntry> files;  // by FileKey
  bool ok = true;
  std::string line;
  ListLine kind = ListLine::kEnd;
  for (std::size_t index = 0; ok && (kind = reader.NextEntry(line)) == ListLine::kEntry; ++index) {
    ListedFile file;
    ListEntryTokens tokens;
    std::u16string decoded;
    ok = SplitToListedFile(line, incremental, file, tokens) &&
         DecodeChecked(tokens.pathToken, decoded, nullptr);
    if (!ok) continue;
    const LastEntry entry{index, file.operation != '-'};
    auto [it, first] = files.try_emplace(std::u16string(FileKey(decoded)), entry);
    if (superseded != nullptr) {
      superseded->push_back(false);
      if (!first) (*superseded)[it->second.index] = true;
    }
    it->second = entry;
  }
  if (ok && kind == ListLine::kOverlong) ok = false;
  if (ok && FileInsideAnother(files)) ok = false;
  CurrentListDir = savedDir;
  reader.Rewind();
  return ok;
}

int ReportListUnusable() {
  LogText(Message(MSG_LOG_LIST_UNUSABLE));
  SetStatusText(Message(MSG_LIST_UNUSABLE));
  SetDetailText(u"");
  SleepMs(kOutcomePauseMs);
  return 0;
}

}  // namespace launcher
