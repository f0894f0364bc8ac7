// The decompressed copy of "tempfile.dat" made while a transfer writes it,
// so that a finished download is already staged once its digest has passed:
// the downloader hands every byte of the file, in file order, to this sink
// (as to DownloadDigest), and the frame decoder writes the copy under a
// temporary name beside `target` (pack/frame_decoder.h). The copy takes
// the target's name only through Commit, which the fetch calls after the
// digest matched the list; a copy that is not committed is removed, so the
// staging tree never holds unchecked content under a listed name. Large
// transfers are decoded on a helper thread (update/byte_stage.h) while the
// worker receives.
//
// Owned by the fetch of one entry on the worker thread; Restart, Append and
// Commit are called there.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "net/downloader.h"
#include "pack/frame_decoder.h"
#include "update/byte_stage.h"

namespace launcher {

class DownloadUnpack final : public BodySink {
 public:
  explicit DownloadUnpack(std::u16string target,
                          std::int64_t inlineBytes = ByteStage::kDefaultInlineBytes);

  void Restart() override;
  void Append(std::string_view bytes) override { stage_.Append(bytes); }

  // True, and the copy in place at the target, when the bytes seen are the
  // whole file (exactly `fileSize` of them) and they were one whole frame.
  // Data synced before the rename unless `syncNow` is false. Otherwise
  // false, and no copy is left: the caller decompresses the file itself.
  bool Commit(std::int64_t fileSize, bool syncNow);

 private:
  std::u16string target_;
  // Replaced only after the stage has drained. Declared before the stage,
  // which must go first.
  std::unique_ptr<FrameDecoder> decoder_;
  ByteStage stage_;
};

}  // namespace launcher
