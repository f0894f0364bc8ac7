#include "update/download_digest.h"

namespace launcher {

DownloadDigest::DownloadDigest(std::int64_t inlineBytes, bool withSha256)
    : withSha256_(withSha256),
      digest_(std::make_unique<Md5Digest>()),
      sha256_(withSha256 ? std::make_unique<Sha256Digest>() : nullptr),
      stage_(
          [this](std::string_view bytes) {
            digest_->Update(bytes.data(), bytes.size());
            if (sha256_) sha256_->Update(bytes.data(), bytes.size());
          },
          inlineBytes) {}

void DownloadDigest::Restart() {
  stage_.Reset();
  digest_ = std::make_unique<Md5Digest>();
  if (withSha256_) sha256_ = std::make_unique<Sha256Digest>();
  sha256Hex_.clear();
}

bool DownloadDigest::Finish(std::int64_t fileSize, char* out) {
  stage_.Drain();
  if (fileSize < 0 || fileSize != stage_.bytes()) return false;
  digest_->Final();
  unsigned capacity = static_cast<unsigned>(kDigestTextCapacity);
  digest_->ToHex(out, capacity);
  if (sha256_) sha256Hex_ = sha256_->FinalHex();
  return true;
}

}  // namespace launcher
