// Standard base64 (RFC 4648, with padding, no line breaks) through OpenSSL,
// for the signatures of the release statement. Pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace launcher {

std::string Base64Encode(std::string_view bytes);
// Decodes the canonical form only: the length a multiple of 4, padding only
// where needed, and the text equal to the encoding of what it decodes to.
// Nullopt for anything else.
std::optional<std::string> Base64Decode(std::string_view text);

}  // namespace launcher
