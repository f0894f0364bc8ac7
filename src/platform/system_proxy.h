// The proxy the user has set for the whole system, in the form libcurl
// takes it. On Linux there is no such setting beyond the environment, which
// libcurl reads itself (SystemProxyFor gives nothing). On Windows it is the
// current user's Internet settings, as WinINet's "preconfigured" access
// uses them: a manual proxy (one for every scheme, or one per scheme) with
// its bypass list, or an automatic configuration (a PAC address, or
// automatic detection) resolved for the address with WinHTTP.
//
// Threading: any thread. The Windows answers are kept per scheme, host and
// port for the life of the process (a PAC script or an automatic detection
// is costly), under a lock.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace launcher {

struct SystemProxy {
  std::string proxy;    // for CURLOPT_PROXY: "http://host:port"
  std::string noProxy;  // for CURLOPT_NOPROXY: "host,.domain,10.0.0.0/8"
};

// The proxy the system's settings give for `url` (http or https). Nothing
// when the request should go as libcurl decides by itself: always on
// POSIX; on Windows when the environment names a proxy (http_proxy,
// https_proxy, all_proxy: they win, as on Linux) or when the settings say
// to connect directly.
std::optional<SystemProxy> SystemProxyFor(std::string_view url);

// The proxy a Windows proxy list gives for `scheme`: "host:port" is for every
// scheme; "http=host:port;https=host2:port" names one per scheme (a
// "socks=" entry serves schemes without one, as SOCKS 4). Entries are
// separated by ';' or blanks. Empty when the list has none for it.
std::string ProxyForScheme(std::string_view list, std::string_view scheme);

// libcurl's no-proxy list for a Windows bypass list (';'-separated):
// "*.example.com" and "example.com" become "example.com" (libcurl then also
// bypasses its subdomains), trailing "*" octets of an IPv4 address become a
// CIDR block ("10.*" is 10.0.0.0/8), a scheme or port is dropped, "*" stays.
// Windows never sends loopback addresses to a proxy unless the list says
// "<-loopback>", so "localhost,127.0.0.0/8,::1" is added without it.
// "<local>" (names without a dot) and other wildcards have no libcurl form
// and are left out.
std::string NoProxyFromBypassList(std::string_view bypass);

}  // namespace launcher
