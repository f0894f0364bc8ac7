#include "update/download_unpack.h"

#include <utility>

namespace launcher {

DownloadUnpack::DownloadUnpack(std::u16string target, std::int64_t inlineBytes)
    : target_(std::move(target)),
      decoder_(std::make_unique<FrameDecoder>(target_)),
      stage_([this](std::string_view bytes) { decoder_->Feed(bytes); }, inlineBytes) {}

void DownloadUnpack::Restart() {
  stage_.Reset();
  decoder_.reset();  // removes the copy of the body that started over
  decoder_ = std::make_unique<FrameDecoder>(target_);
}

bool DownloadUnpack::Commit(std::int64_t fileSize, bool syncNow) {
  stage_.Drain();
  const bool whole = fileSize >= 0 && fileSize == stage_.bytes();
  if (whole && decoder_->Commit(syncNow)) return true;
  // The fallback decompresses into the same temporary name.
  decoder_ = std::make_unique<FrameDecoder>(target_);
  return false;
}

}  // namespace launcher
