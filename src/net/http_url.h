// Splitting a download address into what the request needs: the server, its
// port and the object (path with query) that goes into the request line
// unchanged.
#pragma once

#include <string>
#include <string_view>

namespace launcher {

struct HttpUrl {
  bool tls = false;    // "https": TLS with certificate verification
  std::string host;    // as written, IPv6 literals keep their brackets
  int port = 0;        // the scheme's default when the address names none
  std::string object;  // begins with "/"; "./" and ".." segments kept as given

  // The address handed to the HTTP client: scheme, host, port and object.
  std::string ClientUrl() const;
};

// Splits `url`. Accepted: "http://" or "https://" (any letter case), a host,
// an optional port 1..65535, an optional object (none means "/"). User name
// and password in the address are dropped: requests never carry them. A
// fragment ("#...") is not sent. A space or a character outside ASCII in the
// object is percent-encoded (UTF-8), as a request line cannot carry it.
// Returns false (the address cannot be split) for a relative address, another
// scheme, an empty host, a bad port, or a control character anywhere.
bool SplitHttpUrl(std::u16string_view url, HttpUrl& out);

}  // namespace launcher
