// The MD5 of "tempfile.dat" taken while a transfer writes it (and its
// SHA-256 too, when a release manifest gives one to compare with): the downloader
// hands every byte of the file, in file order, to this sink (the prefix of
// a resumed file read back once, a body that starts again at byte 0 when a
// server ignores the range), so the check of a finished download needs no
// second pass over the file. Large transfers are digested on a helper
// thread (update/byte_stage.h) while the worker receives.
//
// Owned by the fetch of one entry on the worker thread; Restart, Append and
// Finish are called there (the downloader calls the first two inside
// Download).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "crypto/md5_digest.h"
#include "crypto/sha256_digest.h"
#include "net/downloader.h"
#include "update/byte_stage.h"

namespace launcher {

class DownloadDigest final : public BodySink {
 public:
  explicit DownloadDigest(std::int64_t inlineBytes = ByteStage::kDefaultInlineBytes,
                          bool withSha256 = false);

  void Restart() override;
  void Append(std::string_view bytes) override { stage_.Append(bytes); }

  // Writes the text form of the digest into `out` (at least 33 bytes) and
  // returns true when the bytes seen are the whole file: exactly `fileSize`
  // of them. Otherwise (the file holds bytes the transfer never gave, or its
  // size is unknown, -1) returns false, changes nothing, and the file must
  // be read. A true answer ends the digest; Restart begins a new one.
  bool Finish(std::int64_t fileSize, char* out);
  // After a true Finish, with `withSha256`: the SHA-256 of the same bytes.
  // Empty otherwise.
  const std::string& sha256() const { return sha256Hex_; }

 private:
  bool withSha256_;
  std::string sha256Hex_;
  // Replaced only by Restart, after the stage has drained: never while the
  // helper works on it. Declared before the stage, which must go first.
  std::unique_ptr<Md5Digest> digest_;
  std::unique_ptr<Sha256Digest> sha256_;
  ByteStage stage_;
};

}  // namespace launcher
