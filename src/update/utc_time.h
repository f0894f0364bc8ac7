// Times in the release statement: "YYYY-MM-DDTHH:MM:SSZ" (UTC, exactly 20
// characters, years 1970..9999), converted to and from seconds since
// 1970-01-01 00:00:00 UTC without the C library's time-zone machinery, so
// that both systems read a statement the same way. Pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace launcher {

std::string FormatUtcTime(std::int64_t unixSeconds);
// False for anything but the exact form, or a date that does not exist.
bool ParseUtcTime(std::string_view text, std::int64_t& unixSeconds);

}  // namespace launcher
