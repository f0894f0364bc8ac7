// The downloader against a real nginx: resume with the standard range form,
// the refusal at the end of the file, offsets past 4 GiB, one connection
// kept for many transfers (and replaced once nginx closed it), and TLS with
// certificate verification.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "download_recorder.h"
#include "net/downloader.h"
#include "support/fault_server.h"
#include "support/nginx_server.h"
#include "support/tcp_relay.h"
#include "support/temp_dir.h"

namespace launcher::testing {
namespace {

class DownloaderNginxTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearProxyEnvironment(); }

  TempDir root_;
  TempDir local_;
  std::filesystem::path target_ = local_ / "tempfile.dat";
  Downloader downloader_;
};

TEST_F(DownloaderNginxTest, ResumesWithTheRangeHeaderAndKeepsDotSegment) {
  const std::string body = FaultServer::PatternBytes(0, 100000);
  WriteFileBytes(root_ / "patch" / "f.bin", body);
  NginxServer nginx(root_.path());
  WriteFileBytes(target_, body.substr(0, 40000) + std::string(60000, '\0'));

  DownloadRecorder rec(target_);
  rec.Fetch(downloader_, nginx.BaseUrl() + "patch/./f.bin", 40000);
  ASSERT_FALSE(rec.events.empty());
  EXPECT_NE(rec.events.front().event, DOWNLOAD_STARTED) << "a resume does not recreate";
  EXPECT_GT(rec.events.front().offset, 40000 + 8192);
  EXPECT_EQ(rec.Last().event, DOWNLOAD_DONE);
  EXPECT_EQ(rec.Last().state, TRANSFER_DONE);
  EXPECT_EQ(rec.Last().offset, 100000);
  EXPECT_EQ(ReadFileBytes(target_), body);

  auto log = nginx.WaitForAccessLog(1);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(
      log[0],
      "GET /patch/./f.bin HTTP/1.1\tbytes=40000-\t206\t60000\tLiveUpdate Application\tno-cache");
}

TEST_F(DownloaderNginxTest, ResumeAtTheEndIsRefusedWith416AndLeavesTheFile) {
  const std::string body = FaultServer::PatternBytes(0, 5000);
  WriteFileBytes(root_ / "f.bin", body);
  NginxServer nginx(root_.path());
  WriteFileBytes(target_, body);

  DownloadRecorder rec(target_);
  rec.Fetch(downloader_, nginx.BaseUrl() + "f.bin", 5000);
  EXPECT_EQ(rec.Codes(), std::vector<int>{DOWNLOAD_DONE});
  EXPECT_EQ(rec.Last().state, TRANSFER_HTTP_ERROR);
  EXPECT_EQ(rec.Last().errorDetail, 416);
  EXPECT_EQ(ReadFileBytes(target_), body);
}

void MakeSparse(const std::filesystem::path& path, std::int64_t size, std::int64_t at,
                std::string_view bytes) {
  std::filesystem::create_directories(path.parent_path());
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
  if (!bytes.empty()) {
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at)),
              static_cast<ssize_t>(bytes.size()));
  }
  close(fd);
}

std::string ReadAt(const std::filesystem::path& path, std::int64_t at, size_t count) {
  std::string out(count, '\0');
  const int fd = open(path.c_str(), O_RDONLY);
  const ssize_t n = pread(fd, out.data(), count, static_cast<off_t>(at));
  close(fd);
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

TEST_F(DownloaderNginxTest, ResumesPastFourGigabytes) {
  constexpr std::int64_t kAt = 5368709120;  // 5 GiB
  const std::string tail = FaultServer::PatternBytes(7, 20000);
  MakeSparse(root_ / "huge.bin", kAt + 20000, kAt, tail);
  MakeSparse(target_, kAt + 20000, 0, "");
  NginxServer nginx(root_.path());

  DownloadRecorder rec(target_);
  rec.Fetch(downloader_, nginx.BaseUrl() + "huge.bin", kAt);
  EXPECT_EQ(rec.Last().state, TRANSFER_DONE);
  EXPECT_EQ(rec.Last().offset, kAt + 20000);
  EXPECT_EQ(std::filesystem::file_size(target_), static_cast<std::uintmax_t>(kAt + 20000));
  EXPECT_EQ(ReadAt(target_, kAt, 20000), tail);
  auto log = nginx.WaitForAccessLog(1);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("\tbytes=5368709120-\t206\t20000\t"), std::string::npos) << log[0];
}

std::string RelayUrl(const TcpRelay& relay, const std::string& scheme, const std::string& path) {
  return scheme + "://127.0.0.1:" + std::to_string(relay.port()) + "/" + path;
}

TEST_F(DownloaderNginxTest, KeepsOneConnectionAndReplacesOneTheServerClosed) {
  for (unsigned i = 0; i < 4; ++i) {
    WriteFileBytes(root_ / ("f" + std::to_string(i)), FaultServer::PatternBytes(i, 30000));
  }
  NginxServer::Options options;
  options.extraServerConfig = "keepalive_timeout 1s;";
  NginxServer nginx(root_.path(), options);
  TcpRelay relay(nginx.port());

  // Fresh downloads, a resume, a refusal and a redirect's target on one
  // connection.
  for (unsigned i = 0; i < 4; ++i) {
    DownloadRecorder rec(target_);
    rec.Fetch(downloader_, RelayUrl(relay, "http", "./f" + std::to_string(i)));
    EXPECT_EQ(rec.Last().state, TRANSFER_DONE);
    EXPECT_EQ(ReadFileBytes(target_), FaultServer::PatternBytes(i, 30000));
  }
  DownloadRecorder missing(local_ / "missing");
  missing.Fetch(downloader_, RelayUrl(relay, "http", "missing"));
  EXPECT_EQ(missing.Last().errorDetail, 404);
  WriteFileBytes(target_, FaultServer::PatternBytes(0, 1000) + std::string(29000, '\0'));
  DownloadRecorder resumed(target_);
  resumed.Fetch(downloader_, RelayUrl(relay, "http", "f0"), 1000);
  EXPECT_EQ(resumed.Last().state, TRANSFER_DONE);
  EXPECT_EQ(ReadFileBytes(target_), FaultServer::PatternBytes(0, 30000));
  EXPECT_EQ(relay.Read().connections, 1);

  // nginx closes the idle connection after a second; the next transfer
  // opens another without a word.
  std::this_thread::sleep_for(std::chrono::milliseconds(1800));
  DownloadRecorder later(target_);
  later.Fetch(downloader_, RelayUrl(relay, "http", "f3"));
  EXPECT_EQ(later.Codes().back(), DOWNLOAD_DONE);
  EXPECT_EQ(later.Last().state, TRANSFER_DONE);
  EXPECT_EQ(ReadFileBytes(target_), FaultServer::PatternBytes(3, 30000));
  EXPECT_EQ(relay.Read().connections, 2);
  EXPECT_EQ(nginx.WaitForAccessLog(7).size(), 7u);
}

TEST_F(DownloaderNginxTest, HttpsVerifiesTheServerCertificate) {
  TempDir keys;
  const std::string cert = (keys / "cert.pem").string();
  const std::string key = (keys / "key.pem").string();
  const std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
      "-addext subjectAltName=IP:127.0.0.1 -keyout " +
      key + " -out " + cert + " 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  WriteFileBytes(root_ / "f.bin", "secure bytes");
  NginxServer::Options options;
  options.tlsCertificate = cert;
  options.tlsKey = key;
  NginxServer nginx(root_.path(), options);
  ASSERT_EQ(nginx.BaseUrl().rfind("https://", 0), 0u);

  DownloadRecorder untrusted(target_);
  untrusted.Fetch(downloader_, nginx.BaseUrl() + "f.bin");
  EXPECT_EQ(untrusted.Codes(), std::vector<int>{DOWNLOAD_DONE});
  EXPECT_EQ(untrusted.Last().state, TRANSFER_HTTP_ERROR);
  EXPECT_EQ(untrusted.Last().errorDetail, 60);  // CURLE_PEER_FAILED_VERIFICATION
  EXPECT_FALSE(std::filesystem::exists(target_));

  Downloader::Options trusting;
  trusting.caFile = cert;
  Downloader verified(trusting);
  TcpRelay relay(nginx.port());
  for (int i = 0; i < 3; ++i) {
    DownloadRecorder trusted(target_);
    trusted.Fetch(verified, RelayUrl(relay, "https", "f.bin"));
    EXPECT_EQ(trusted.Last().state, TRANSFER_DONE);
    EXPECT_EQ(ReadFileBytes(target_), "secure bytes");
  }
  EXPECT_EQ(relay.Read().connections, 1) << "one TLS connection for the run";
}

}  // namespace
}  // namespace launcher::testing
