// MD5 through OpenSSL's EVP interface. The file and buffer digests pace the
// progress bar exactly as the callers expect: one update per 8192 bytes.
#include "crypto/md5_digest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "files/regular_file.h"

namespace launcher {
namespace {

constexpr std::size_t kPieceSize = 8192;

// Fetched once: an explicit fetch spares every Md5Digest the implicit
// provider look-up that EVP_md5() costs under OpenSSL 3.
const EVP_MD* Md5Algorithm() {
  static const EVP_MD* const md = [] {
    EVP_MD* fetched = EVP_MD_fetch(nullptr, "MD5", nullptr);
    return fetched != nullptr ? static_cast<const EVP_MD*>(fetched) : EVP_md5();
  }();
  return md;
}

int Percent(std::uint64_t done, std::uint64_t total) {
  // An empty file (or one that grew while being read) has no meaningful
  // intermediate value; stay within 0..100 either way.
  if (total == 0) return 0;
  if (done >= total) return 100;
  return static_cast<int>(done * 100 / total);
}

void Report(const DigestProgress& progress, int percent) {
  if (progress) progress(percent);
}

void WriteText(Md5Digest& digest, char* out) {
  digest.Final();
  unsigned capacity = static_cast<unsigned>(kDigestTextCapacity);
  digest.ToHex(out, capacity);
}

}  // namespace

struct Md5Digest::Context {
  EVP_MD_CTX* ctx = nullptr;
};

Md5Digest::Md5Digest() : context_(new Context) {
  context_->ctx = EVP_MD_CTX_new();
  if (context_->ctx != nullptr && EVP_DigestInit_ex(context_->ctx, Md5Algorithm(), nullptr) != 1) {
    EVP_MD_CTX_free(context_->ctx);
    context_->ctx = nullptr;
  }
}

Md5Digest::~Md5Digest() {
  EVP_MD_CTX_free(context_->ctx);
  delete context_;
}

void Md5Digest::Update(const void* data, std::size_t length) {
  if (context_->ctx == nullptr || length == 0) return;
  EVP_DigestUpdate(context_->ctx, data, length);
}

const std::array<std::uint8_t, 16>& Md5Digest::Final() {
  if (context_->ctx != nullptr) {
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_->ctx, digest_.data(), &length);
    EVP_MD_CTX_free(context_->ctx);
    context_->ctx = nullptr;
  }
  return digest_;
}

char* Md5Digest::ToHex(char* out, unsigned& capacity) const {
  if (out == nullptr || capacity <= 32) return nullptr;
  static constexpr char kDigits[] = "0123456789abcdef";
  capacity = 32;
  for (std::size_t i = 0; i < digest_.size(); ++i) {
    out[2 * i] = kDigits[digest_[i] >> 4];
    out[2 * i + 1] = kDigits[digest_[i] & 0x0f];
  }
  out[32] = '\0';
  return out;
}

int DigestFile(std::u16string_view path, char* out, const DigestProgress& progress) {
  Md5Digest digest;
  // Only a regular file counts as opened: a directory or a device would give
  // the digest of whatever a read returns, and never match a list.
  RegularFile file(path);
  if (file.is_open()) {
    file.AdviseSequential();
    const std::uint64_t size = file.size();
    // The progress callback may end the worker by throwing; the descriptor
    // and the digest context are released on the way out.
    Report(progress, 0);
    unsigned char buffer[kPieceSize];
    std::uint64_t total = 0;
    for (;;) {
      // A read error ends the digest like the end of the file.
      const std::size_t n =
          static_cast<std::size_t>(std::max<std::int64_t>(0, file.ReadFull(buffer, sizeof buffer)));
      digest.Update(buffer, n);
      total += n;
      Report(progress, Percent(total, size));
      if (n < sizeof buffer) break;
    }
    Report(progress, 100);
  }
  WriteText(digest, out);
  return 1;
}

int DigestBuffer(const void* data, std::int64_t count, char* out, const DigestProgress& progress) {
  Report(progress, 0);
  Md5Digest digest;
  const auto* bytes = static_cast<const unsigned char*>(data);
  const std::uint64_t total = count > 0 && data != nullptr ? static_cast<std::uint64_t>(count) : 0;
  std::uint64_t fed = 0;
  // Full pieces only while another one still ends before the last byte, so
  // the final piece (1..8192 bytes) always goes in below, without an update.
  while (fed + kPieceSize < total) {
    digest.Update(bytes + fed, kPieceSize);
    fed += kPieceSize;
    Report(progress, Percent(fed, total));
  }
  digest.Update(bytes + fed, static_cast<std::size_t>(total - fed));
  WriteText(digest, out);
  Report(progress, 100);
  return 1;
}

std::string Md5Hex(std::string_view bytes) {
  char text[kDigestTextCapacity];
  DigestBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()), text);
  return std::string(text, 32);
}

}  // namespace launcher
