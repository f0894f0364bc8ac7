// Helpers computing digests ahead of the worker: the answers, their order,
// and a close of the window while they read.
#include "update/digest_lookahead.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pack/pack.h"
#include "seam/cancel.h"
#include "support/temp_dir.h"

namespace launcher {
namespace {

using testing::TempDir;
using testing::WriteFileBytes;

class DigestLookAheadTest : public ::testing::Test {
 protected:
  ~DigestLookAheadTest() override { ResetCancelStateForTesting(); }

  // `count` files of `size` bytes with content of their own.
  std::vector<std::u16string> Files(int count, std::size_t size) {
    std::vector<std::u16string> paths;
    for (int i = 0; i < count; ++i) {
      std::string content(size, static_cast<char>('a' + i % 26));
      for (std::size_t k = 0; k < size; k += 97)
        content[k] = static_cast<char>(k * 31 + static_cast<std::size_t>(i));
      const auto path = dir_.path() / ("f" + std::to_string(i));
      WriteFileBytes(path, content);
      paths.push_back(path.u16string());
    }
    return paths;
  }
  static std::string Digest(const std::u16string& path) {
    char digest[33] = {};
    EXPECT_TRUE(DigestCompressedForm(path, digest));
    return digest;
  }

  TempDir dir_;
};

TEST_F(DigestLookAheadTest, AnswersComeInTheWorkersOrderWhateverTheHelperCount) {
  const std::vector<std::u16string> paths = Files(90, 20000);
  for (unsigned helpers : {0u, 1u, 3u}) {
    DigestLookAhead ahead(paths, helpers);
    EXPECT_EQ(ahead.helpers(), helpers);
    int answered = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
      if (i % 10 == 3) continue;  // passed over: dropped
      LookAheadAnswer answer;
      if (ahead.Take(paths[i], answer)) {
        ++answered;
        EXPECT_EQ(answer.digest, Digest(paths[i])) << i;
        EXPECT_EQ(answer.stamp.size, 20000u);
      }
      // Asked again, or asked out of plan: the worker reads it itself.
      EXPECT_FALSE(ahead.Take(paths[i], answer));
    }
    if (helpers == 0) {
      EXPECT_EQ(answered, 0);
    }
  }
  // A short list gets fewer helpers.
  EXPECT_EQ(DigestLookAhead(Files(2, 10), 8).helpers(), 2u);
  // A missing file has no answer.
  DigestLookAhead missing({(dir_.path() / "missing").u16string()}, 1);
  missing.WaitForAnswersForTesting(1);
  LookAheadAnswer answer;
  EXPECT_FALSE(missing.Take((dir_.path() / "missing").u16string(), answer));
}

TEST_F(DigestLookAheadTest, ClosingTheWindowStopsTheHelpersAndDropsTheirWork) {
  const std::vector<std::u16string> paths = Files(12, 3u << 20);
  {
    DigestLookAhead ahead(paths, 2);
    ahead.WaitForAnswersForTesting(1);
    WindowClosing.store(1);
    CancelRequested.store(1);
    // Whatever was finished before the close is right; nothing after it is
    // answered wrongly, and the rest is dropped.
    int answered = 0;
    for (const std::u16string& path : paths) {
      LookAheadAnswer answer;
      if (ahead.Take(path, answer)) {
        ++answered;
        EXPECT_EQ(answer.digest, Digest(path));
      }
    }
    EXPECT_GE(answered, 1);
  }
  // Closed before the pass starts: nothing is read at all.
  DigestLookAhead ahead(paths, 2);
  for (const std::u16string& path : paths) {
    LookAheadAnswer answer;
    EXPECT_FALSE(ahead.Take(path, answer));
  }
}

}  // namespace
}  // namespace launcher
