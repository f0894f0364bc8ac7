#include "net/http_headers.h"

#include <cctype>
#include <limits>

namespace launcher {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool NameMatches(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) !=
        std::tolower(static_cast<unsigned char>(name[i])))
      return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> FindHeader(std::string_view block, std::string_view name) {
  size_t pos = 0;
  while (pos < block.size()) {
    // Lines end at CR LF; a bare CR or LF stays inside the line so that it
    // can be seen (and refused) in the value.
    size_t end = block.find("\r\n", pos);
    if (end == std::string_view::npos) end = block.size();
    std::string_view line = block.substr(pos, end - pos);
    pos = end + 2;
    if (!NameMatches(line, name)) continue;
    std::string_view value = line.substr(name.size() + 1);
    while (!value.empty() && IsBlank(value.front())) value.remove_prefix(1);
    while (!value.empty() && IsBlank(value.back())) value.remove_suffix(1);
    return std::string(value);
  }
  return std::nullopt;
}

LocationResult FindLocation(std::string_view block, std::string& location) {
  std::optional<std::string> value = FindHeader(block, "Location");
  if (!value) return LocationResult::kMissing;
  if (value->empty()) return LocationResult::kUnusable;
  for (char c : *value) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return LocationResult::kUnusable;
  }
  location = std::move(*value);
  return LocationResult::kFound;
}

std::int64_t ParseContentLength(std::string_view block) {
  std::optional<std::string> value = FindHeader(block, "Content-Length");
  if (!value) return -1;
  std::int64_t number = 0;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  for (char c : *value) {
    if (c < '0' || c > '9') break;
    const int digit = c - '0';
    if (number > (kMax - digit) / 10) return 0;
    number = number * 10 + digit;
  }
  return number;
}

std::int64_t ParseContentRangeTotal(std::string_view block) {
  const std::optional<std::string> value = FindHeader(block, "Content-Range");
  if (!value) return -1;
  const std::size_t slash = value->rfind('/');
  if (slash == std::string::npos || slash + 1 >= value->size()) return -1;
  std::int64_t total = 0;
  for (std::size_t i = slash + 1; i < value->size(); ++i) {
    const char c = (*value)[i];
    if (c < '0' || c > '9' || total > (std::numeric_limits<std::int64_t>::max() - 9) / 10)
      return -1;
    total = total * 10 + (c - '0');
  }
  return total;
}

}  // namespace launcher
