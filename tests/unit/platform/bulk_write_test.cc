// Bulk writes: aligned pieces past the page cache, mixed with ordinary
// writes, and a piece the file system cannot take unbuffered.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <string>

#include "platform/native_file.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

TEST(BulkWriteTest, AlignedMisalignedAndOrdinaryPiecesLandInOrder) {
  const fs::path dir = fs::temp_directory_path() / ("bulk-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path path = dir / "out.bin";
  fs::remove(path);
  constexpr std::size_t kAlign = NativeFile::kBulkAlignment;
  constexpr std::size_t kPiece = 64 * kAlign;
  std::unique_ptr<char, void (*)(char*)> buffer(
      static_cast<char*>(::operator new (kPiece + kAlign, std::align_val_t{kAlign})),
      [](char* p) { ::operator delete (p, std::align_val_t{kAlign}); });
  std::string expected;
  NativeFile file;
  bool exists = false;
  ASSERT_TRUE(file.CreateNew(path, 0644, exists));
  auto piece = [&](char* at, std::size_t size, char fill) {
    for (std::size_t i = 0; i < size; ++i)
      at[i] = static_cast<char>(static_cast<std::size_t>(fill) + i % 13);
    expected.append(at, size);
  };
  piece(buffer.get(), kPiece, 'a');
  ASSERT_TRUE(file.WriteBulk(buffer.get(), kPiece));
  // Data one byte off the alignment: unbuffered writes refuse it, the
  // piece must still land whole, and the file goes on through the cache.
  piece(buffer.get() + 1, kPiece, 'k');
  ASSERT_TRUE(file.WriteBulk(buffer.get() + 1, kPiece));
  piece(buffer.get(), 1000, 'x');
  ASSERT_TRUE(file.Write(buffer.get(), 1000));
  ASSERT_TRUE(file.SyncData());
  ASSERT_TRUE(file.Close());
  std::string written;
  {
    std::ifstream in(path, std::ios::binary);  // closed before the removal (Windows)
    written.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  EXPECT_EQ(written.size(), expected.size());
  EXPECT_TRUE(written == expected);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace launcher
