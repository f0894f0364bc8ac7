// Verification of signed lists. The file is read as a stream in text mode
// (TextModeTranslator, shared with the signer) and cut into the 256-byte
// pieces the list format was designed around: a line, or at most 255 bytes
// of a longer one.
#include "crypto/signature_verifier.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "crypto/compiled_in_key.h"
#include "crypto/openssl_handles.h"
#include "crypto/signer.h"
#include "files/regular_file.h"
#include "files/utf16.h"

namespace launcher {
namespace {

constexpr std::size_t kPieceBytes = 255;  // a 256-byte buffer with its NUL
constexpr std::size_t kMaxSignatureBytes = 256;
// A valid block is under 200 characters; a longer one is refused rather than
// buffered without bound.
constexpr std::size_t kMaxBlockBytes = 64 * 1024;

// Cuts the translated text into pieces, feeds content pieces to the digest
// and, once the marker line is found, collects the signature block.
class SignedFileScanner {
 public:
  explicit SignedFileScanner(EVP_MD_CTX* ctx) : ctx_(ctx) {}

  // Takes the next translated bytes. False when the file is unusable.
  bool Take(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      if (state_ == State::kBlock) {
        if (block_.size() + (text.size() - i) > kMaxBlockBytes) return false;
        block_.append(text.substr(i));
        return true;
      }
      if (state_ == State::kMarkerTail) {
        if (c == '\n') state_ = State::kBlock;
        continue;
      }
      piece_.push_back(c);
      if (c == '\n' || piece_.size() == kPieceBytes) {
        if (!EndPiece()) return false;
      }
    }
    return true;
  }

  // The text has ended. False when the file is unusable.
  bool Finish() { return piece_.empty() || EndPiece(); }

  bool found_marker() const { return state_ != State::kContent; }
  const std::string& block() const { return block_; }

 private:
  enum class State { kContent, kMarkerTail, kBlock };

  bool EndPiece() {
    // Only a piece that starts a line can be the marker line; the tail of a
    // long content line that happens to hold the marker text is content.
    if (atLineStart_ && piece_.compare(0, kSignatureMarker.size(), kSignatureMarker) == 0) {
      // Whatever follows the marker text on its line is ignored, even past
      // the first piece.
      state_ = piece_.back() == '\n' ? State::kBlock : State::kMarkerTail;
      piece_.clear();
      return true;
    }
    // A NUL in the content makes the file unusable. Hashing each piece only
    // up to its first NUL, as a C-string reading would, leaves the rest of
    // the line unsigned while the list reader still reads it: a line
    // "\0+<digest> <path>" slipped into a signed list would install a file
    // of anyone's choosing. The signer never writes a NUL.
    if (piece_.find('\0') != std::string::npos) return false;
    const bool ok = EVP_DigestVerifyUpdate(ctx_, piece_.data(), piece_.size()) == 1;
    atLineStart_ = piece_.back() == '\n';
    piece_.clear();
    return ok;
  }

  EVP_MD_CTX* ctx_;
  State state_ = State::kContent;
  bool atLineStart_ = true;
  std::string piece_;
  std::string block_;
};

// Decodes the signature block with OpenSSL's base64 filter: up to 256 bytes,
// read until the filter reports the end or the buffer is full.
std::size_t DecodeSignature(const std::string& block, unsigned char* out) {
  if (block.empty()) return 0;
  BIO* source = BIO_new_mem_buf(block.data(), static_cast<int>(block.size()));
  BIO* base64 = BIO_new(BIO_f_base64());
  if (source == nullptr || base64 == nullptr) {
    BIO_free(source);
    BIO_free(base64);
    return 0;
  }
  BIO* chain = BIO_push(base64, source);
  std::size_t length = 0;
  while (length < kMaxSignatureBytes) {
    const int n = BIO_read(chain, out + length, static_cast<int>(kMaxSignatureBytes - length));
    if (n <= 0) break;
    length += static_cast<std::size_t>(n);
  }
  BIO_free_all(chain);
  return length;
}

}  // namespace

struct SignatureVerifier::Key {
  EVP_PKEY* pkey = nullptr;
  ~Key() { EVP_PKEY_free(pkey); }
};

SignatureVerifier::SignatureVerifier(std::string_view publicKeyPem) {
  if (publicKeyPem.empty() || publicKeyPem.size() > 64 * 1024) return;
  BIO* bio = BIO_new_mem_buf(publicKeyPem.data(), static_cast<int>(publicKeyPem.size()));
  if (bio == nullptr) return;
  EVP_PKEY* pkey = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  // The lists are signed with RSA; any other kind of key would make the
  // digest-verify calls check a different scheme.
  if (pkey == nullptr || EVP_PKEY_is_a(pkey, "RSA") != 1) {
    EVP_PKEY_free(pkey);
    return;
  }
  key_ = std::make_unique<Key>();
  key_->pkey = pkey;
}

SignatureVerifier::~SignatureVerifier() = default;

bool SignatureVerifier::HasKey() const { return key_ != nullptr; }

bool SignatureVerifier::VerifySignedFile(std::u16string_view path) const {
  if (!key_ || path.empty()) return false;
  RegularFile file(path);
  if (!file.is_open()) return false;

  openssl::MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_md5(), nullptr, key_->pkey) != 1) {
    return false;
  }
  SignedFileScanner scanner(ctx.get());
  TextModeTranslator translator;
  char raw[64 * 1024];
  std::string text;
  while (!translator.ended()) {
    const std::int64_t n = file.ReadSome(raw, sizeof raw);
    if (n < 0) return false;
    text.clear();
    if (n == 0) {
      translator.Finish(text);
    } else {
      translator.Feed(std::string_view(raw, static_cast<std::size_t>(n)), text);
    }
    if (!scanner.Take(text)) return false;
    if (n == 0) break;
  }
  if (!scanner.Finish() || !scanner.found_marker()) return false;

  unsigned char signature[kMaxSignatureBytes];
  const std::size_t length = DecodeSignature(scanner.block(), signature);
  if (length == 0) return false;
  return EVP_DigestVerifyFinal(ctx.get(), signature, length) == 1;
}

const SignatureVerifier& CompiledInVerifier() {
  // Never destroyed: the worker may still hold it while the process ends.
  static const SignatureVerifier* const verifier = new SignatureVerifier(kCompiledInPublicKeyPem);
  return *verifier;
}

}  // namespace launcher
