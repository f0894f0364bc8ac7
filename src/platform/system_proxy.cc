#include "platform/system_proxy.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace launcher {
namespace {

std::vector<std::string_view> Split(std::string_view text, std::string_view separators) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find_first_of(separators, start), text.size());
    if (end > start) parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// "a.b.*" and "a.*.*" as a CIDR block; empty when `host` is not of that form.
std::string NumericWildcard(std::string_view host) {
  const std::vector<std::string_view> octets = Split(host, ".");
  if (octets.size() != static_cast<std::size_t>(std::count(host.begin(), host.end(), '.')) + 1 ||
      octets.size() > 4) {
    return {};
  }
  std::size_t fixed = 0;
  std::string block;
  for (; fixed < octets.size() && octets[fixed] != "*"; ++fixed) {
    const std::string_view octet = octets[fixed];
    if (octet.size() > 3 || octet.find_first_not_of("0123456789") != std::string_view::npos ||
        std::stoi(std::string(octet)) > 255) {
      return {};
    }
    block += (fixed == 0 ? "" : ".") + std::string(octet);
  }
  for (std::size_t i = fixed; i < octets.size(); ++i) {
    if (octets[i] != "*") return {};
  }
  if (fixed == 0 || fixed == octets.size()) return {};
  for (std::size_t i = fixed; i < 4; ++i) block += ".0";
  return block + "/" + std::to_string(fixed * 8);
}

}  // namespace

std::string ProxyForScheme(std::string_view list, std::string_view scheme) {
  std::string any;
  std::string socks;
  for (std::string_view entry : Split(list, "; \t\r\n")) {
    const std::size_t equals = entry.find('=');
    if (equals == std::string_view::npos) {
      if (any.empty()) any = std::string(entry);
      continue;
    }
    const std::string name = Lower(entry.substr(0, equals));
    const std::string_view address = entry.substr(equals + 1);
    if (address.empty()) continue;
    if (name == Lower(scheme)) return "http://" + std::string(address);
    if (name == "socks" && socks.empty()) socks = "socks4://" + std::string(address);
  }
  if (!any.empty()) return any.find("://") == std::string::npos ? "http://" + any : any;
  return socks;
}

std::string NoProxyFromBypassList(std::string_view bypass) {
  std::string out;
  bool loopback = true;
  auto add = [&](std::string_view name) {
    if (!name.empty()) out += (out.empty() ? "" : ",") + std::string(name);
  };
  for (std::string_view entry : Split(bypass, "; \t\r\n")) {
    const std::string lower = Lower(entry);
    if (lower == "<-loopback>") {
      loopback = false;
      continue;
    }
    if (lower == "<local>") continue;
    std::string_view host = entry;
    if (const std::size_t scheme = host.find("://"); scheme != std::string_view::npos) {
      host.remove_prefix(scheme + 3);
    }
    // A port after the host (not inside an IPv6 address).
    if (const std::size_t colon = host.rfind(':');
        colon != std::string_view::npos && host.find(':') == colon) {
      host = host.substr(0, colon);
    }
    if (host == "*") {
      add(host);
    } else if (host.starts_with("*.") && host.find('*', 1) == std::string_view::npos) {
      add(host.substr(2));
    } else if (host.find('*') == std::string_view::npos) {
      add(host);
    } else {
      add(NumericWildcard(host));
    }
  }
  if (loopback) add("localhost,127.0.0.0/8,::1");
  return out;
}

}  // namespace launcher
