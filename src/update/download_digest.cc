#include "update/download_digest.h"

namespace launcher {

DownloadDigest::DownloadDigest(std::int64_t inlineBytes)
    : digest_(std::make_unique<Md5Digest>()),
      stage_([this](std::string_view bytes) { digest_->Update(bytes.data(), bytes.size()); },
             inlineBytes) {}

void DownloadDigest::Restart() {
  stage_.Reset();
  digest_ = std::make_unique<Md5Digest>();
}

bool DownloadDigest::Finish(std::int64_t fileSize, char* out) {
  stage_.Drain();
  if (fileSize < 0 || fileSize != stage_.bytes()) return false;
  digest_->Final();
  unsigned capacity = static_cast<unsigned>(kDigestTextCapacity);
  digest_->ToHex(out, capacity);
  return true;
}

}  // namespace launcher
