// The MD5 of "tempfile.dat" taken while a transfer writes it: the downloader
// hands every byte of the file, in file order, to this sink (the prefix of
// a resumed file read back once, a body that starts again at byte 0 when a
// server ignores the range), so the check of a finished download needs no
// second pass over the file.
//
// Owned by the fetch of one entry, on the worker thread (the downloader
// calls it there, inside Download).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "crypto/md5_digest.h"
#include "net/downloader.h"

namespace launcher {

class DownloadDigest final : public BodySink {
 public:
  DownloadDigest() { Restart(); }

  void Restart() override;
  void Append(std::string_view bytes) override;

  // Writes the text form of the digest into `out` (at least 33 bytes) and
  // returns true when the bytes seen are the whole file: exactly `fileSize`
  // of them. Otherwise (the file holds bytes the transfer never gave, or its
  // size is unknown, -1) returns false and the file must be read. Once
  // only, after the transfer; Restart makes the sink usable again.
  bool Finish(std::int64_t fileSize, char* out);

 private:
  std::unique_ptr<Md5Digest> digest_;
  std::int64_t bytes_ = 0;
};

}  // namespace launcher
