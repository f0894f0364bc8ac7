// List signing with OpenSSL: md5WithRSAEncryption, PKCS #1 v1.5, the same
// scheme the verifier checks.
#include "crypto/signer.h"

#include <memory>
#include <vector>

#include "crypto/openssl_handles.h"
#include "crypto/signature_verifier.h"

namespace launcher {
namespace {

using openssl::KeyPtr;
using openssl::MdCtxPtr;

KeyPtr ReadPrivateKey(std::string_view pem) {
  return openssl::ReadPrivateKey(pem, 1u << 20, "RSA");
}

std::string WrapBase64(const std::vector<unsigned char>& bytes) {
  std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), bytes.data(),
                                static_cast<int>(bytes.size()));
  encoded.resize(static_cast<std::size_t>(n));
  std::string wrapped;
  for (std::size_t i = 0; i < encoded.size(); i += 64) {
    wrapped.append(encoded, i, 64);
    wrapped.push_back('\n');
  }
  return wrapped;
}

// True when some line of `content` begins with the marker: the verifier
// would take the signature from there.
bool HasMarkerLine(std::string_view content) {
  std::size_t start = 0;
  while (start < content.size()) {
    if (content.substr(start, kSignatureMarker.size()) == kSignatureMarker) return true;
    const std::size_t lf = content.find('\n', start);
    if (lf == std::string_view::npos) break;
    start = lf + 1;
  }
  return false;
}

}  // namespace

void TextModeTranslator::Feed(std::string_view raw, std::string& out) {
  for (const char c : raw) {
    if (ended_) return;
    if (pendingCr_) {
      pendingCr_ = false;
      if (c == '\n') {
        out.push_back('\n');
        continue;
      }
      out.push_back('\r');
    }
    if (c == '\x1a') {
      ended_ = true;
    } else if (c == '\r') {
      pendingCr_ = true;
    } else {
      out.push_back(c);
    }
  }
}

void TextModeTranslator::Finish(std::string& out) {
  if (pendingCr_) out.push_back('\r');
  pendingCr_ = false;
}

std::string TextModeContent(std::string_view raw) {
  TextModeTranslator translator;
  std::string out;
  out.reserve(raw.size());
  translator.Feed(raw, out);
  translator.Finish(out);
  return out;
}

std::optional<std::string> SignContentBase64(std::string_view privateKeyPem,
                                             std::string_view content) {
  const auto key = ReadPrivateKey(privateKeyPem);
  if (!key) return std::nullopt;
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_md5(), nullptr, key.get()) != 1 ||
      EVP_DigestSignUpdate(ctx.get(), content.data(), content.size()) != 1) {
    return std::nullopt;
  }
  std::size_t length = 0;
  if (EVP_DigestSignFinal(ctx.get(), nullptr, &length) != 1) return std::nullopt;
  std::vector<unsigned char> signature(length);
  if (EVP_DigestSignFinal(ctx.get(), signature.data(), &length) != 1) return std::nullopt;
  signature.resize(length);
  return WrapBase64(signature);
}

std::optional<std::string> MakeSignedFile(std::string_view privateKeyPem,
                                          std::string_view content) {
  if (!content.empty() && content.back() != '\n') return std::nullopt;
  if (content.find('\0') != std::string_view::npos ||
      content.find('\x1a') != std::string_view::npos || HasMarkerLine(content)) {
    return std::nullopt;
  }
  const auto signature = SignContentBase64(privateKeyPem, TextModeContent(content));
  if (!signature) return std::nullopt;
  std::string file(content);
  file.append(kSignatureMarker);
  file.push_back('\n');
  file.append(*signature);
  return file;
}

}  // namespace launcher
