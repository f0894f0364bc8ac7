// Decompression of the compressed form fed in pieces, in file order, into a
// target file: the one decoder behind DecompressFile and behind the staging
// of a download while its bytes arrive.
//
// The frame is checked as it goes and as a whole at Commit: a bad header, a
// skippable frame, a window or declared size above the limits, corrupt
// blocks, a wrong checksum, more output than declared, a frame that ends
// early or any byte after it fail the decoder. The output goes into a
// temporary file beside the target (created once the header has passed) and
// reaches the target's name only through Commit; a decoder that fails or is
// dropped without Commit removes it, so the target is never partial.
//
// One thread at a time, but not always the same one: the zstd context comes
// from a small pool of the process, not from the calling thread, and goes
// back to it (with its window kept for the next file) when the decoder goes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace launcher {

class FrameDecoder {
 public:
  explicit FrameDecoder(std::u16string_view target);
  ~FrameDecoder();
  FrameDecoder(const FrameDecoder&) = delete;
  FrameDecoder& operator=(const FrameDecoder&) = delete;

  // Decodes the next bytes of the compressed form. False once the input or
  // the output has failed; later calls do nothing and return false.
  bool Feed(std::string_view bytes);
  bool failed() const { return failed_; }

  // True and the target in place when the input fed was one whole frame
  // with its checksum and declared size right. Data synced before the
  // rename unless `syncNow` is false (the caller then syncs the target
  // before anything relies on it surviving a power cut).
  bool Commit(bool syncNow);

 private:
  struct State;

  bool Fail();
  bool StartOutput();
  bool Decode(std::string_view bytes);

  std::u16string target_;
  std::unique_ptr<State> state_;
  std::string head_;  // the first bytes, until the frame header is complete
  bool failed_ = false;
};

}  // namespace launcher
