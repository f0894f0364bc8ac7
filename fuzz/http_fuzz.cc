// The downloader's parsing of response headers and of download addresses.
#include <cstddef>
#include <cstdint>

#include "files/utf16.h"
#include "fuzz_support.h"
#include "net/http_headers.h"
#include "net/http_url.h"

using namespace launcher;

namespace {

bool HasControl(std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

void CheckHeaders(std::string_view block) {
  const std::int64_t length = ParseContentLength(block);
  FUZZ_CHECK(length >= -1);
  FUZZ_CHECK((length == -1) == !FindHeader(block, "Content-Length").has_value());

  std::string location;
  const LocationResult result = FindLocation(block, location);
  const std::optional<std::string> raw = FindHeader(block, "Location");
  FUZZ_CHECK((result == LocationResult::kMissing) == !raw.has_value());
  if (result == LocationResult::kFound) {
    FUZZ_CHECK(!location.empty() && !HasControl(location));
    FUZZ_CHECK(location == *raw);
  }
  if (raw) {
    // Values come without surrounding blanks.
    FUZZ_CHECK(raw->empty() || (raw->front() != ' ' && raw->back() != ' '));
  }
}

void CheckUrl(std::u16string_view url) {
  HttpUrl parts;
  if (!SplitHttpUrl(url, parts)) return;
  FUZZ_CHECK(!parts.host.empty());
  FUZZ_CHECK(parts.port >= 1 && parts.port <= 65535);
  FUZZ_CHECK(!parts.object.empty() && parts.object.front() == '/');
  // The object goes into the request line as it is.
  FUZZ_CHECK(!HasControl(parts.object) && parts.object.find(' ') == std::string::npos);
  FUZZ_CHECK(parts.object.find('#') == std::string::npos);
  for (char c : parts.object) FUZZ_CHECK(static_cast<unsigned char>(c) < 0x80);
  FUZZ_CHECK(!HasControl(parts.host) && parts.host.find('@') == std::string::npos);
  const std::string client = parts.ClientUrl();
  FUZZ_CHECK(!HasControl(client));
  // The client's address splits again into the same parts.
  HttpUrl again;
  FUZZ_CHECK(SplitHttpUrl(Widen(client), again));
  FUZZ_CHECK(again.tls == parts.tls && again.host == parts.host && again.port == parts.port &&
             again.object == parts.object);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input = fuzz::AsText(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      CheckHeaders(input);
      break;
    case 1:
      CheckUrl(FromUtf8Lossy(input));
      break;
    default:
      CheckUrl(fuzz::Utf16Units(input));
      break;
  }
  return 0;
}
