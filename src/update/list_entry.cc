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
  // File -> index of the last entry naming it so far.
  std::unordered_map<std::u16string, std::size_t> lastEntry;
  bool ok = true;
  std::string line;
  ListLine kind = ListLine::kEnd;
  while (ok && (kind = reader.NextEntry(line)) == ListLine::kEntry) {
    ListedFile file;
    ListEntryTokens tokens;
    std::u16string decoded;
    ok = SplitToListedFile(line, incremental, file, tokens) &&
         DecodeChecked(tokens.pathToken, decoded, nullptr);
    if (!ok || superseded == nullptr) continue;
    const std::size_t index = superseded->size();
    superseded->push_back(false);
    auto [it, first] = lastEntry.try_emplace(std::u16string(FileKey(decoded)), index);
    if (!first) {
      (*superseded)[it->second] = true;
      it->second = index;
    }
  }
  if (ok && kind == ListLine::kOverlong) ok = false;
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
