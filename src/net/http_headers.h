// Reading the few response headers the downloader acts on from a raw header
// block (lines ended by CR LF, as received).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace launcher {

// The value of the first header whose name is `name` (compared without
// letter case, at the start of a line), leading and trailing blanks removed;
// nullopt when there is none. A header whose name merely ends in `name`
// ("Content-Location" for "Location") does not count.
std::optional<std::string> FindHeader(std::string_view block, std::string_view name);

enum class LocationResult { kFound, kMissing, kUnusable };

// The redirect target: the Location header's value. kUnusable when the value
// is empty or holds a control character (a bare CR, a NUL, ...), which no
// address may contain.
LocationResult FindLocation(std::string_view block, std::string& location);

// Content-Length as a number: its leading decimal digits; 0 when the text
// starts with no digit or the number does not fit in 63 bits; -1 when the
// header is missing.
std::int64_t ParseContentLength(std::string_view block);

// The whole length a Content-Range header gives ("bytes 0-99/12345" gives
// 12345); -1 when the header is missing, or the length is "*" or not a
// number.
std::int64_t ParseContentRangeTotal(std::string_view block);

}  // namespace launcher
