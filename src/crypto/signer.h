// Signing of list files, for the publisher and the tests. The launcher
// itself only verifies (signature_verifier.h).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace launcher {

// The content as the verifier's text-mode reading presents it: CR LF pairs
// become LF, a lone CR stays, and a byte 0x1A ends the text.
std::string TextModeContent(std::string_view raw);

// Signs `content` (already in text-mode form) with md5WithRSAEncryption,
// PKCS #1 v1.5, under the PEM private key. Returns the signature in standard
// base64, wrapped at 64 characters per line, each line ended by LF; nullopt
// when the key cannot be read or signing fails.
std::optional<std::string> SignContentBase64(std::string_view privateKeyPem,
                                             std::string_view content);

// A whole signed file: content (which must end with LF), the marker line and
// the signature block.
std::optional<std::string> MakeSignedFile(std::string_view privateKeyPem, std::string_view content);

}  // namespace launcher
