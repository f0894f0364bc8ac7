// Signing of list files, for the publisher and the tests, and the text-mode
// translation that signer and verifier share. The launcher itself only
// verifies (signature_verifier.h).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace launcher {

// The text-mode reading of an 8-bit file, fed in consecutive chunks: CR LF
// pairs become LF, a lone CR stays, and a byte 0x1A ends the text (nothing
// after it is produced). A CR at the end of one chunk is held back until the
// next byte is known. One instance per stream; not thread-safe.
class TextModeTranslator {
 public:
  // Appends the translation of the next raw bytes to `out`.
  void Feed(std::string_view raw, std::string& out);
  // The raw input has ended: emits a CR still held back.
  void Finish(std::string& out);
  // True once a 0x1A byte has ended the text.
  bool ended() const { return ended_; }

 private:
  bool pendingCr_ = false;
  bool ended_ = false;
};

// The content as the verifier's text-mode reading presents it: CR LF pairs
// become LF, a lone CR stays, and a byte 0x1A ends the text.
std::string TextModeContent(std::string_view raw);

// Signs `content` (already in text-mode form) with md5WithRSAEncryption,
// PKCS #1 v1.5, under the PEM private key. Returns the signature in standard
// base64, wrapped at 64 characters per line, each line ended by LF; nullopt
// when the key cannot be read or signing fails.
std::optional<std::string> SignContentBase64(std::string_view privateKeyPem,
                                             std::string_view content);

// A whole signed file: content, the marker line and the signature block. The
// signature covers TextModeContent(content), so content with CR LF line ends
// is written unchanged and still verifies. Returns nullopt when the key is
// unusable or when no verifier could accept the result: content that does
// not end with LF (unless empty), that holds a NUL or 0x1A byte, or that has
// a line beginning with the marker.
std::optional<std::string> MakeSignedFile(std::string_view privateKeyPem, std::string_view content);

}  // namespace launcher
