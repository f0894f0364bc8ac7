#include "files/server_select.h"

#include <string>
#include <string_view>

#include "files/paths.h"
#include "files/server_mirrors.h"
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

// The value of the last "<key> <value>" line, or empty. A line with the key
// and no value leaves an earlier one.
std::u16string ReadSetting(std::u16string_view wanted) {
  Utf16LineReader reader(UpdateCfgPath);
  std::u16string found;
  std::u16string line;
  while (reader.ReadLine(line)) {
    std::size_t pos = 0;
    std::u16string_view key = NextWord(line, pos);
    std::u16string_view value = NextWord(line, pos);
    if (key == wanted && !value.empty()) found = value;
  }
  return found;
}

}  // namespace

void SelectUpdateServer() {
  const std::u16string selected = ReadSetting(u"UpdateServerSelect");
  // Exact comparison; the URL is taken verbatim. The last matching line
  // wins; its mirror group names the fallbacks.
  std::vector<ServerMirrors::Server> servers;
  if (!selected.empty()) servers = MirrorsOf(ReadServerListLines(), selected);
  if (servers.empty()) servers.push_back({std::u16string(), ServerBaseUrl, false});
  SetServerBaseUrl(servers.front().baseUrl);
  RunServers.Reset(std::move(servers));
}

int ConfiguredDownloadConnections() {
  const std::u16string value = ReadSetting(u"DownloadConnections");
  int connections = 0;
  for (char16_t c : value) {
    if (c < u'0' || c > u'9' || connections > kMaxDownloadConnections) return 0;
    connections = connections * 10 + (c - u'0');
  }
  return connections <= kMaxDownloadConnections ? connections : 0;
}

}  // namespace launcher
