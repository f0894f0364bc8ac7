#include "update/byte_stage.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace launcher {

ByteStage::ByteStage(Consumer consume, std::int64_t inlineBytes)
    : consume_(std::move(consume)), inlineBytes_(inlineBytes) {}

ByteStage::~ByteStage() {
  if (!helper_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    queued_.clear();
  }
  changed_.notify_all();
  helper_.join();
}

void ByteStage::Reset() {
  Drain();
  bytes_ = 0;
}

void ByteStage::Append(std::string_view bytes) {
  bytes_ += static_cast<std::int64_t>(bytes.size());
  if (!helper_.joinable() && (bytes_ <= inlineBytes_ || !StartHelper())) {
    consume_(bytes);
    return;
  }
  while (!bytes.empty()) {
    if (filling_.capacity() < kBufferBytes) filling_.reserve(kBufferBytes);
    const std::size_t take = std::min(bytes.size(), kBufferBytes - filling_.size());
    filling_.append(bytes.data(), take);
    bytes.remove_prefix(take);
    if (filling_.size() == kBufferBytes) HandOver();
  }
}

bool ByteStage::StartHelper() {
  try {
    helper_ = std::thread([this] { HelperLoop(); });
    return true;
  } catch (...) {
    // No thread to be had: everything stays on the calling thread.
    inlineBytes_ = INT64_MAX;
    return false;
  }
}

void ByteStage::HandOver() {
  std::string next;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // Bounded: wait while every buffer is queued or in the helper's hands.
    changed_.wait(lock, [&] { return queued_.size() + (busy_ ? 1 : 0) < kBuffers; });
    queued_.push_back(std::move(filling_));
    if (!spare_.empty()) {
      next = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  changed_.notify_all();
  next.clear();
  filling_ = std::move(next);
}

void ByteStage::Drain() {
  if (!helper_.joinable()) return;
  if (!filling_.empty()) HandOver();
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return queued_.empty() && !busy_; });
}

void ByteStage::HelperLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stop_ || !queued_.empty(); });
    if (stop_) return;
    std::string buffer = std::move(queued_.front());
    queued_.pop_front();
    busy_ = true;
    lock.unlock();
    consume_(buffer);
    lock.lock();
    busy_ = false;
    buffer.clear();
    spare_.push_back(std::move(buffer));
    changed_.notify_all();
  }
}

}  // namespace launcher
