#include <windows.h>
// After windows.h, which it needs.
#include <winhttp.h>

#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/system_proxy.h"

namespace launcher {
namespace {

std::string Narrow(const wchar_t* text) {
  std::string out;
  if (text == nullptr) return out;
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return out;
  out.resize(static_cast<std::size_t>(size));
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.pop_back();  // the terminator
  return out;
}

std::wstring Widen(std::string_view text) {
  std::wstring out;
  const int size =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  out.resize(static_cast<std::size_t>(size));
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

// The strings WinHTTP hands out are the caller's to free.
struct GlobalText {
  wchar_t* text = nullptr;
  ~GlobalText() {
    if (text != nullptr) ::GlobalFree(text);
  }
};

bool EnvironmentNamesProxy() {
  for (const char* name : {"http_proxy", "https_proxy", "all_proxy"}) {
    const char* value = std::getenv(name);  // the names are not case-sensitive here
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// The address's own no_proxy from the environment, kept alongside the
// system's bypass list.
std::string WithEnvironmentNoProxy(std::string noProxy) {
  const char* value = std::getenv("no_proxy");
  if (value != nullptr && *value != '\0')
    noProxy += (noProxy.empty() ? "" : ",") + std::string(value);
  return noProxy;
}

// The proxy list an automatic configuration gives for `url`; false when it
// gives none (no script found, a failing script, DIRECT).
bool ResolveAutomatically(const std::wstring& url, const wchar_t* pacUrl, std::string& list) {
  HINTERNET session = ::WinHttpOpen(L"LiveUpdate Application", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (session == nullptr) return false;
  WINHTTP_AUTOPROXY_OPTIONS options{};
  if (pacUrl != nullptr) {
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = pacUrl;
  } else {
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  options.fAutoLogonIfChallenged = TRUE;
  WINHTTP_PROXY_INFO info{};
  const bool resolved = ::WinHttpGetProxyForUrl(session, url.c_str(), &options, &info) != 0;
  GlobalText proxy{info.lpszProxy};
  GlobalText proxyBypass{info.lpszProxyBypass};
  ::WinHttpCloseHandle(session);
  if (!resolved || info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY) return false;
  list = Narrow(proxy.text);
  return !list.empty();
}

std::optional<SystemProxy> Resolve(std::string_view url, std::string_view scheme) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
  if (::WinHttpGetIEProxyConfigForCurrentUser(&config) == 0) return std::nullopt;
  GlobalText pacUrl{config.lpszAutoConfigUrl};
  GlobalText manual{config.lpszProxy};
  GlobalText manualBypass{config.lpszProxyBypass};
  std::string list;
  // As WinINet does: the automatic configuration first, the manual proxy
  // when that gives none. An automatic answer is for this address itself
  // (a script decides per address, loopback included): no bypass list.
  if ((config.fAutoDetect != FALSE || pacUrl.text != nullptr) &&
      ResolveAutomatically(Widen(url), pacUrl.text, list)) {
    // A script's answer lists proxies to try in turn: the first is taken.
    std::string proxy = ProxyForScheme(list.substr(0, list.find_first_of("; ")), scheme);
    if (proxy.empty()) return std::nullopt;
    return SystemProxy{std::move(proxy), ""};
  }
  std::string proxy = ProxyForScheme(Narrow(manual.text), scheme);
  if (proxy.empty()) return std::nullopt;
  return SystemProxy{std::move(proxy), NoProxyFromBypassList(Narrow(manualBypass.text))};
}

}  // namespace

std::optional<SystemProxy> SystemProxyFor(std::string_view url) {
  if (EnvironmentNamesProxy()) return std::nullopt;
  // "scheme://host:port" is the key: a PAC script may choose by host.
  const std::size_t schemeEnd = url.find("://");
  if (schemeEnd == std::string_view::npos) return std::nullopt;
  const std::string_view scheme = url.substr(0, schemeEnd);
  const std::string key(url.substr(0, url.find('/', schemeEnd + 3)));
  static std::mutex lock;
  static std::map<std::string, std::optional<SystemProxy>> answers;
  std::lock_guard<std::mutex> guard(lock);
  auto it = answers.find(key);
  if (it == answers.end()) it = answers.emplace(key, Resolve(url, scheme)).first;
  if (!it->second) return std::nullopt;
  SystemProxy proxy = *it->second;
  proxy.noProxy = WithEnvironmentNoProxy(proxy.noProxy);
  return proxy;
}

}  // namespace launcher
