// Resource exhaustion: bodies that never end (with and without a length),
// a decompression bomb with a valid digest (as a compromised signing key
// could list it), and a list of a million entries. The disk use is bounded
// by a small tmpfs under ../config/ (skipped where mounting is not
// permitted); the memory of the process must stay bounded throughout.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "files/string_table.h"
#include "torture/scoped_tmpfs.h"
#include "torture/torture_bed.h"
#include "update/list_path.h"
#include "update/update_state.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::Release;
using testing::ServerTree;
using testing::WriteFileBytes;

// Peak resident memory of this process so far, in KiB.
long PeakRssKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// Answers every request with a body that never ends, announced with a huge
// Content-Length or without one, until the client goes away.
class EndlessServer {
 public:
  explicit EndlessServer(bool withLength) : withLength_(withLength) {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(listen_, reinterpret_cast<sockaddr*>(&address), size);
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    ::listen(listen_, 8);
    thread_ = std::thread([this] { Serve(); });
  }
  ~EndlessServer() {
    stop_ = true;
    ::shutdown(listen_, SHUT_RDWR);
    ::close(listen_);
    thread_.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/endless"; }
  long long BytesSent() const { return sent_.load(); }

 private:
  void Serve() {
    while (!stop_) {
      const int client = ::accept(listen_, nullptr, nullptr);
      if (client < 0) return;
      char request[4096];
      (void)::recv(client, request, sizeof request, 0);
      std::string head = "HTTP/1.0 200 OK\r\n";
      if (withLength_) head += "Content-Length: 1099511627776\r\n";
      head += "\r\n";
      ::send(client, head.data(), head.size(), MSG_NOSIGNAL);
      const std::string block(65536, 'E');
      while (!stop_ && ::send(client, block.data(), block.size(), MSG_NOSIGNAL) > 0) {
        sent_ += static_cast<long long>(block.size());
      }
      ::close(client);
    }
  }

  bool withLength_;
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<long long> sent_{0};
  std::thread thread_;
};

class ResourcesTest : public testing::TortureBed {
 protected:
  // ../config/ on a tmpfs of `bytes`: every download and staged file lands
  // there, so a body that never ends runs into a full disk.
  bool MountSmallConfig(std::size_t bytes) {
    if (::geteuid() != 0) return false;
    config_ = std::make_unique<testing::ScopedTmpfs>(root() / "config", bytes);
    if (!config_->mounted()) return false;
    fs::create_directories(env_.Config());
    return true;
  }
  std::string Target(const std::string& rel) const {
    return "/patcher/patcher/" + EncodeListPath(rel);
  }

  const Release old_ = {{"main.exe", "old main"}, {"data/a.pak", "old a"}};
  std::unique_ptr<testing::ScopedTmpfs> config_;
};

TEST_F(ResourcesTest, EndlessBodiesEndAtAFullDiskWithNothingLost) {
  if (!MountSmallConfig(4 << 20)) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  Install(old_);
  const Release release = {{"main.exe", "new main"}, {"data/a.pak", "new a"}};
  PublishFull(release);
  const auto patcher = PatcherState();
  const auto rest = RestState();
  const long peakBefore = PeakRssKiB();
  for (bool withLength : {true, false}) {
    SCOPED_TRACE(withLength ? "with Content-Length" : "without Content-Length");
    EndlessServer endless(withLength);
    StartFaultServer(R"({"routes": {")" + Target("data/a.pak") +
                     R"(": {"status": 302, "location": ")" + endless.Url() + "\"}}}");
    EXPECT_FALSE(RunFullCheckOnce());
    ExpectPatcherUnchanged(patcher);
    EXPECT_FALSE(fs::exists(env_.Config("version.sw")));
    ExpectNothingStray(rest);
    EXPECT_GT(endless.BytesSent(), 2 << 20) << "the body ran until the disk was full";

    // The list itself without end: refused after the disk filled up.
    fault_->Configure(R"({"routes": {"/patcher/files.md5": {"status": 302, "location": ")" +
                      endless.Url() + "\"}}}");
    EXPECT_FALSE(RunFullCheckOnce());
    EXPECT_TRUE(StatusShown(MSG_LIST_UNUSABLE));
    ExpectPatcherUnchanged(patcher);
  }
  EXPECT_LT(PeakRssKiB() - peakBefore, 64 * 1024) << "memory grew with the body";

  // With an honest server the next run completes on the same small disk.
  fault_->Configure("{}");
  EXPECT_TRUE(RunFullCheckOnce());
  EXPECT_EQ(Installed(), release);
}

// A small file whose compressed form declares (or, from a pipe, merely
// produces) a gigabyte: decompression streams into the staging tree until
// the disk is full, then fails cleanly; memory stays at the window size.
TEST_F(ResourcesTest, DecompressionBombFillsNoMoreThanTheDiskAndKeepsMemoryFlat) {
  if (!MountSmallConfig(8 << 20)) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  Install(old_);
  const fs::path bomb = root() / "bomb.zst";
  const auto patcher = PatcherState();
  const long peakBefore = PeakRssKiB();
  for (const char* how : {"--stream-size=1073741824", ""}) {
    SCOPED_TRACE(*how ? "declared size" : "no declared size");
    const std::string command = "head -c 1073741824 /dev/zero | zstd -q -1 " + std::string(how) +
                                " -c > '" + bomb.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    ASSERT_LT(fs::file_size(bomb), 1u << 20) << "a bomb is small";
    // Serve it where data/a.pak is fetched from, with its true digest.
    const fs::path served =
        tree_.root() / "patcher/patcher" / EncodeListPath("data/a.pak").substr(2);
    fs::create_directories(served.parent_path());
    fs::copy_file(bomb, served, fs::copy_options::overwrite_existing);
    const std::string digest = [&] {
      const std::string out = root().string() + "/bomb.md5";
      std::system(("md5sum '" + served.string() + "' | cut -c1-32 > '" + out + "'").c_str());
      return ReadFileBytes(out).substr(0, 32);
    }();
    ServeFullList(ServerTree::Sign(testing::FullListLine(digest, "data/a.pak")));
    if (!nginx_) StartNginx();
    const auto rest = RestState();

    EXPECT_FALSE(RunFullCheckOnce());
    EXPECT_TRUE(StatusShown(MSG_DECOMPRESS_FAILED));
    ExpectPatcherUnchanged(patcher);
    for (const auto& [rel, value] : testing::SnapshotTree(env_.Config("Check"))) {
      EXPECT_EQ(rel.find("a.pak"), std::string::npos) << "partial staged file " << rel;
    }
    ExpectNothingStray(rest);
  }
  EXPECT_LT(PeakRssKiB() - peakBefore, 64 * 1024) << "memory grew with the output";
}

// A signed full list of a million entries whose very last entry is unsafe:
// the whole list is read and refused before any work, in bounded memory.
// Then a list of many entries that are all current: checked, nothing
// fetched.
TEST_F(ResourcesTest, MillionEntryListIsReadInBoundedMemory) {
  // A million entries in the longer runs; a quarter of that by default.
  const int entries = testing::TortureRounds() > 1 ? 1000000 : 250000;
  std::string list;
  list.reserve(static_cast<std::size_t>(entries) * 60);
  const std::string digest(32, 'e');
  for (int i = 0; i < entries; ++i) {
    list += digest + " /" + EncodeListName("n" + std::to_string(i)) + "\n";
  }
  list += digest + " /" + EncodeListName("..") + "/" + EncodeListName("x") + "\n";
  ServeFullList(ServerTree::Sign(list));
  list.clear();
  list.shrink_to_fit();
  StartNginx();
  const auto patcher = PatcherState();
  const long peakBefore = PeakRssKiB();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(RunFullCheckOnce());
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
  EXPECT_TRUE(StatusShown(MSG_LIST_UNUSABLE));
  EXPECT_EQ(FileRequestCount(), 0u);
  ExpectPatcherUnchanged(patcher);
  EXPECT_LT(PeakRssKiB() - peakBefore, 64 * 1024) << "memory grew with the list";
  std::printf("[ measure  ] %d entries refused in %.2f s\n", entries + 1, seconds.count());

  // Many entries, every one current: one compression per file, no fetch.
  const int current = 1000 * testing::TortureRounds();
  Release files;
  for (int i = 0; i < current; ++i)
    files["d" + std::to_string(i % 50) + "/" + std::to_string(i)] = "x";
  Install(files);
  ServeFullList(ServerTree::Sign(FullListContent(files)));
  const long peakMiddle = PeakRssKiB();
  EXPECT_TRUE(RunFullCheckOnce());
  EXPECT_EQ(FileRequestCount(), 0u);
  EXPECT_EQ(Installed(), files);
  EXPECT_LT(PeakRssKiB() - peakMiddle, 64 * 1024);
}

}  // namespace
}  // namespace launcher
