#include "update/list_entry.h"

#include "files/log.h"
#include "files/string_table.h"
#include "platform/clock.h"
#include "update/list_path.h"
#include "seam/status_display.h"

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

}  // namespace

bool DecodeAndShowListPath(std::string& token, std::u16string& decodedPath) {
  std::u16string fileName;
  bool ok = DecodeChecked(token, decodedPath, &fileName);
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

bool ValidateListEntries(ListReader& reader, bool incremental) {
  const std::string savedDir = CurrentListDir;
  bool ok = true;
  // Round one starts from the directory in force now (the first pass of a
  // run); round two from the one the list leaves behind (every later pass).
  for (int round = 0; round < 2 && ok; ++round) {
    reader.Rewind();
    std::string line;
    ListLine kind = ListLine::kEnd;
    while (ok && (kind = reader.NextEntry(line)) == ListLine::kEntry) {
      ListedFile file;
      ListEntryTokens tokens;
      std::u16string decoded;
      ok = SplitToListedFile(line, incremental, file, tokens) &&
           DecodeChecked(tokens.pathToken, decoded, nullptr);
    }
    if (ok && kind == ListLine::kOverlong) ok = false;
  }
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
