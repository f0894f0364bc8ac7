#include "update/download_digest.h"

namespace launcher {

void DownloadDigest::Restart() {
  digest_ = std::make_unique<Md5Digest>();
  bytes_ = 0;
}

void DownloadDigest::Append(std::string_view bytes) {
  digest_->Update(bytes.data(), bytes.size());
  bytes_ += static_cast<std::int64_t>(bytes.size());
}

bool DownloadDigest::Finish(std::int64_t fileSize, char* out) {
  if (fileSize < 0 || fileSize != bytes_) return false;
  digest_->Final();
  unsigned capacity = static_cast<unsigned>(kDigestTextCapacity);
  digest_->ToHex(out, capacity);
  return true;
}

}  // namespace launcher
