#include "net/http_url.h"

#include <cctype>

#include "files/utf16.h"

namespace launcher {
namespace {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

bool ParsePort(std::string_view text, int& port) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return false;
  port = value;
  return true;
}

std::string EncodeObject(std::string_view utf8) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : utf8) {
    const auto u = static_cast<unsigned char>(c);
    if (u == ' ' || u >= 0x80) {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string HttpUrl::ClientUrl() const {
  // The default port is left out so that a proxy sees the address as written.
  const bool defaultPort = port == (tls ? 443 : 80);
  return std::string(tls ? "https://" : "http://") + host +
         (defaultPort ? std::string() : ":" + std::to_string(port)) + object;
}

bool SplitHttpUrl(std::u16string_view url, HttpUrl& out) {
  for (char16_t c : url) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  const std::string text = ToUtf8(url);
  const size_t sep = text.find("://");
  if (sep == std::string::npos) return false;
  const std::string_view scheme(text.data(), sep);
  HttpUrl result;
  if (EqualsIgnoreCase(scheme, "http")) {
    result.port = 80;
  } else if (EqualsIgnoreCase(scheme, "https")) {
    result.tls = true;
    result.port = 443;
  } else {
    return false;
  }

  std::string_view rest(text);
  rest.remove_prefix(sep + 3);
  const size_t fragment = rest.find('#');
  if (fragment != std::string_view::npos) rest = rest.substr(0, fragment);
  const size_t objectStart = rest.find_first_of("/?");
  std::string_view authority = rest.substr(0, objectStart);
  std::string_view object =
      objectStart == std::string_view::npos ? std::string_view() : rest.substr(objectStart);

  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);

  std::string_view host = authority;
  std::string_view port;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    host = authority.substr(0, close + 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return false;
      port = after.substr(1);
    }
  } else {
    const size_t colon = authority.find(':');
    if (colon != std::string_view::npos) {
      host = authority.substr(0, colon);
      port = authority.substr(colon + 1);
    }
  }
  if (host.empty() || host.find_first_of(" %\\") != std::string_view::npos) return false;
  for (char c : host) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  if (!port.empty() && !ParsePort(port, result.port)) return false;
  // "http://host:" names no port; the default applies.

  result.host = std::string(host);
  if (object.empty()) {
    result.object = "/";
  } else if (object.front() == '?') {
    result.object = "/" + EncodeObject(object);
  } else {
    result.object = EncodeObject(object);
  }
  out = std::move(result);
  return true;
}

}  // namespace launcher
