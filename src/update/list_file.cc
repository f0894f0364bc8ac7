#include "update/list_file.h"

namespace launcher {
namespace {

bool IsScanSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Next white-space separated token of `line` from `pos`, as "%s" reads it.
bool NextToken(std::string_view line, std::size_t& pos, std::string& token) {
  while (pos < line.size() && IsScanSpace(line[pos])) ++pos;
  std::size_t start = pos;
  while (pos < line.size() && !IsScanSpace(line[pos])) ++pos;
  if (pos == start) return false;
  token.assign(line.substr(start, pos - start));
  return true;
}

}  // namespace

ListReader::ListReader(std::u16string_view path) : reader_(path) {}

ListLine ListReader::Next(std::string& line) {
  // One byte more than a line may hold tells an overlong line from a full
  // one; the rest of such a line is never read as a line of its own.
  if (!reader_.ReadLine(line, kMaxListLineBytes + 2)) return ListLine::kEnd;
  if (line.size() > kMaxListLineBytes) return ListLine::kOverlong;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (line == kListMarkerLine) return ListLine::kMarker;
  if (!line.empty() && line[0] == '#') return ListLine::kComment;
  return ListLine::kEntry;
}

ListLine ListReader::NextEntry(std::string& line) {
  while (true) {
    ListLine kind = Next(line);
    if (kind != ListLine::kComment) return kind;
  }
}

bool SplitListEntry(std::string_view line, ListEntryTokens& tokens) {
  std::size_t pos = 0;
  if (!NextToken(line, pos, tokens.digestToken)) return false;
  if (!NextToken(line, pos, tokens.pathToken)) return false;
  return tokens.digestToken.size() <= kMaxDigestTokenBytes;
}

int CountListEntries(ListReader& reader) {
  int count = 0;
  std::string line;
  while (reader.NextEntry(line) == ListLine::kEntry) ++count;
  return count;
}

}  // namespace launcher
