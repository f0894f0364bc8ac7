// The digest taken while a download arrives: whatever the pieces, restarts
// and the helper's pace, it is the MD5 of the bytes given since the last
// restart, and it answers only for a file of exactly that many bytes.
#include "update/download_digest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

namespace launcher {
namespace {

TEST(DownloadDigestTest, IsTheMd5OfTheBytesSinceTheLastRestart) {
  std::mt19937 rng(14);
  std::string data(3 * 1024 * 1024 + 12345, '\0');
  for (char& c : data) c = static_cast<char>(rng());
  const auto size = static_cast<std::int64_t>(data.size());
  // All on the calling thread, all on the helper, and crossing over.
  for (const std::int64_t inlineBytes : {INT64_MAX, std::int64_t{0}, std::int64_t{1500000}}) {
    SCOPED_TRACE(inlineBytes);
    DownloadDigest digest(inlineBytes);
    // Bytes of a body the server then restarts from byte 0.
    digest.Append(std::string(2 * ByteStage::kBufferBytes + 7, '?'));
    digest.Restart();
    std::uniform_int_distribution<std::size_t> piece(1, 200000);
    for (std::size_t at = 0; at < data.size();) {
      const std::size_t n = std::min(piece(rng), data.size() - at);
      digest.Append(std::string_view(data).substr(at, n));
      at += n;
    }
    char out[kDigestTextCapacity] = {};
    EXPECT_FALSE(digest.Finish(size + 1, out)) << "the file holds bytes it never saw";
    EXPECT_FALSE(digest.Finish(-1, out));
    ASSERT_TRUE(digest.Finish(size, out));
    EXPECT_EQ(std::string(out), Md5Hex(data));
  }
  // Dropped in the middle (a cancelled transfer): the helper stops.
  DownloadDigest dropped(0);
  dropped.Append(data);
}

}  // namespace
}  // namespace launcher
