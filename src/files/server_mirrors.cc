#include "files/server_mirrors.h"

#include <optional>
#include <string_view>

#include "files/paths.h"
#include "files/utf16_text.h"

namespace launcher {
namespace {

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

ServerMirrors RunServers;

std::vector<ServerListLine> ReadServerListLines() {
  std::vector<ServerListLine> lines;
  Utf16LineReader reader(ServerListPath);
  std::u16string line;
  while (reader.ReadLine(line)) {
    std::size_t pos = 0;
    std::optional<std::u16string_view> name = NextQuotedField(line, pos);
    if (!name) continue;
    std::optional<std::u16string_view> url = NextQuotedField(line, pos);
    if (!url) continue;
    std::optional<std::u16string_view> group = NextQuotedField(line, pos);
    lines.push_back({std::u16string(*name), std::u16string(*url),
                     group ? std::u16string(*group) : std::u16string()});
  }
  return lines;
}

std::vector<ServerMirrors::Server> MirrorsOf(const std::vector<ServerListLine>& lines,
                                             std::u16string_view selected) {
  std::vector<ServerMirrors::Server> servers;
  const ServerListLine* chosen = nullptr;
  for (const ServerListLine& line : lines) {
    if (line.name == selected) chosen = &line;  // the last matching line wins
  }
  if (chosen == nullptr) return servers;
  servers.push_back({chosen->name, chosen->baseUrl, false});
  if (chosen->group.empty()) return servers;
  for (const ServerListLine& line : lines) {
    if (line.group != chosen->group || line.name == selected) continue;
    bool known = false;
    for (const auto& server : servers) known = known || server.baseUrl == line.baseUrl;
    if (!known) servers.push_back({line.name, line.baseUrl, false});
  }
  return servers;
}

void ServerMirrors::Reset(std::vector<Server> servers) {
  servers_ = std::move(servers);
  home_ = 0;
}

void ServerMirrors::MarkDown(std::size_t index) {
  if (index < servers_.size()) servers_[index].down = true;
}

void ServerMirrors::MoveHome(std::size_t index) {
  if (index >= servers_.size()) return;
  home_ = index;
  SetServerBaseUrl(servers_[index].baseUrl);
}

std::size_t ServerMirrors::NextAfter(std::size_t index) const {
  for (std::size_t i = index + 1; i < servers_.size(); ++i) {
    if (!servers_[i].down) return i;
  }
  return kNone;
}

std::vector<std::size_t> ServerMirrors::FileOrder() const {
  std::vector<std::size_t> order;
  for (int pass = 0; pass < 2 && order.empty(); ++pass) {
    const bool anyState = pass == 1;  // every server is down: try them all
    if (home_ < servers_.size() && (anyState || !servers_[home_].down)) order.push_back(home_);
    for (std::size_t i = 0; i < servers_.size(); ++i) {
      if (i != home_ && (anyState || !servers_[i].down)) order.push_back(i);
    }
  }
  return order;
}

std::u16string ServerMirrors::Label(std::size_t index) const {
  if (index >= servers_.size()) return std::u16string();
  const Server& server = servers_[index];
  return server.name.empty() ? server.baseUrl : server.name;
}

}  // namespace launcher
