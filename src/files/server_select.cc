#include "files/server_select.h"

#include <optional>
#include <string>
#include <string_view>

#include "files/paths.h"
#include "files/utf16_text.h"

namespace launcher {
namespace {

bool IsWordSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

// The next white-space separated word from `pos`, or empty at the end.
std::u16string_view NextWord(std::u16string_view line, std::size_t& pos) {
  while (pos < line.size() && IsWordSpace(line[pos])) ++pos;
  std::size_t start = pos;
  while (pos < line.size() && !IsWordSpace(line[pos])) ++pos;
  return line.substr(start, pos - start);
}

// The value of the last "UpdateServerSelect <name>" line, or empty. A line
// with the key and no name selects nothing and leaves an earlier choice.
std::u16string ReadSelectedName() {
  Utf16LineReader reader(UpdateCfgPath);
  std::u16string selected;
  std::u16string line;
  while (reader.ReadLine(line)) {
    std::size_t pos = 0;
    std::u16string_view key = NextWord(line, pos);
    std::u16string_view value = NextWord(line, pos);
    if (key == u"UpdateServerSelect" && !value.empty()) selected = value;
  }
  return selected;
}

// The text between the first quote at or after `pos` and the next quote;
// `pos` moves past the closing quote. None when either quote is missing.
std::optional<std::u16string_view> NextQuotedField(std::u16string_view line, std::size_t& pos) {
  std::size_t open = line.find(u'"', pos);
  if (open == std::u16string_view::npos) return std::nullopt;
  std::size_t close = line.find(u'"', open + 1);
  if (close == std::u16string_view::npos) return std::nullopt;
  pos = close + 1;
  return line.substr(open + 1, close - open - 1);
}

}  // namespace

void SelectUpdateServer() {
  std::u16string base = ServerBaseUrl;
  std::u16string selected = ReadSelectedName();
  if (!selected.empty()) {
    Utf16LineReader reader(ServerListPath);
    std::u16string line;
    while (reader.ReadLine(line)) {
      std::size_t pos = 0;
      std::optional<std::u16string_view> name = NextQuotedField(line, pos);
      if (!name) continue;
      std::optional<std::u16string_view> url = NextQuotedField(line, pos);
      if (!url) continue;
      // Exact comparison; the URL is taken verbatim. Later lines win.
      if (*name == selected) base = *url;
    }
  }
  SetServerBaseUrl(base);
}

}  // namespace launcher
