// Many transfers at once on one downloader, against real servers: nginx with
// HTTP/2 over TLS carries them all on one connection; plain HTTP uses a few
// HTTP/1.1 connections, never more than the maximum; Squid's CONNECT tunnel
// carries HTTP/2 as well; and a callback that ends the worker while other
// transfers run leaves them, and the downloader, usable.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "download_recorder.h"
#include "files/utf16.h"
#include "net/downloader.h"
#include "seam/cancel.h"
#include "support/nginx_server.h"
#include "support/release_server.h"
#include "support/tcp_relay.h"
#include "support/temp_dir.h"
#include "support/test_certificate.h"
#include "support/web_server.h"

namespace launcher::testing {
namespace {

constexpr int kFiles = 60;

class TransferPoolTest : public ::testing::Test {
 protected:
  TransferPoolTest() {
    ClearProxyEnvironment();
    for (int i = 0; i < kFiles; ++i) {
      WriteFileBytes(root_ / Name(i), NoiseBytes(8192 + static_cast<std::size_t>(i),
                                                 40u + static_cast<unsigned>(i)));
    }
  }
  ~TransferPoolTest() override { ClearProxyEnvironment(); }

  static std::string Name(int i) { return "f" + std::to_string(i) + ".bin"; }

  // Starts every file at once and runs them to their ends; each must arrive
  // whole, with one DOWNLOAD_DONE.
  void FetchAll(Downloader& downloader, const std::string& base) {
    std::vector<int> ends(kFiles, 0);
    std::vector<int> states(kFiles, -1);
    std::vector<Downloader::TransferId> ids;
    for (int i = 0; i < kFiles; ++i) {
      TransferRequest request;
      request.url = Widen(base + Name(i));
      request.localPath = FromUtf8Lossy((local_ / Name(i)).string());
      request.callback = [&ends, &states, i](int event, const Transfer& t) {
        if (event == DOWNLOAD_DONE || event == DOWNLOAD_FAILED) {
          ++ends[static_cast<std::size_t>(i)];
          states[static_cast<std::size_t>(i)] = t.state;
        }
        return 0;
      };
      ids.push_back(downloader.Start(std::move(request)));
    }
    downloader.RunUntil([&] {
      for (auto id : ids) {
        if (downloader.Active(id)) return false;
      }
      return true;
    });
    for (int i = 0; i < kFiles; ++i) {
      EXPECT_EQ(ends[static_cast<std::size_t>(i)], 1) << i;
      EXPECT_EQ(states[static_cast<std::size_t>(i)], TRANSFER_DONE) << i;
      EXPECT_EQ(ReadFileBytes(local_ / Name(i)), ReadFileBytes(root_ / Name(i))) << i;
    }
  }

  // nginx over TLS with HTTP/2 offered by ALPN.
  static NginxServer::Options Http2OverTls(const TestCertificate& certificate) {
    NginxServer::Options tls;
    tls.tlsCertificate = certificate.cert();
    tls.tlsKey = certificate.key();
    tls.http2 = true;
    return tls;
  }

  // Every request line nginx logged names `protocol`.
  static void ExpectProtocol(const NginxServer& nginx, const std::string& protocol) {
    const auto lines = nginx.WaitForAccessLog(kFiles);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kFiles));
    for (const auto& line : lines) EXPECT_NE(line.find(" " + protocol + "\t"), std::string::npos);
  }

  TempDir root_;
  TempDir local_;
};

TEST_F(TransferPoolTest, Http2OverTlsCarriesEveryFileOnOneConnection) {
  TestCertificate certificate;
  NginxServer nginx(root_.path(), Http2OverTls(certificate));
  TcpRelay relay(nginx.port());
  Downloader::Options trusting;
  trusting.caFile = certificate.cert();
  Downloader downloader(trusting);

  FetchAll(downloader, "https://127.0.0.1:" + std::to_string(relay.port()) + "/");

  EXPECT_EQ(relay.WaitIdle().connections, 1);
  EXPECT_EQ(downloader.counts().http2, kFiles);
  EXPECT_GT(downloader.counts().mostAtOnce, 10) << "the files ran at once";
  ExpectProtocol(nginx, "HTTP/2.0");
}

TEST_F(TransferPoolTest, PlainHttpUsesAFewHttp11ConnectionsAndNeverClearTextHttp2) {
  NginxServer nginx(root_.path());
  TcpRelay::Options far;
  far.delayMs = 15;  // small files against the round trip: more connections pay
  TcpRelay relay(nginx.port(), far);
  Downloader downloader;

  FetchAll(downloader, relay.BaseUrl());

  const std::int64_t connections = relay.WaitIdle().connections;
  EXPECT_GE(connections, 2);
  EXPECT_LE(connections, 6);
  EXPECT_LE(downloader.counts().mostAtOnce, 6);
  EXPECT_EQ(downloader.counts().http2, 0);
  ExpectProtocol(nginx, "HTTP/1.1");

  // The maximum is the caller's: one connection makes the transfers queue.
  Downloader::Options one;
  one.maxConnections = 1;
  Downloader single(one);
  TcpRelay relayOne(nginx.port());
  FetchAll(single, relayOne.BaseUrl());
  EXPECT_EQ(relayOne.WaitIdle().connections, 1);
  EXPECT_EQ(single.counts().mostAtOnce, 1);
}

TEST_F(TransferPoolTest, Http2ThroughAProxyTunnel) {
  TestCertificate certificate;
  NginxServer nginx(root_.path(), Http2OverTls(certificate));
  TempDir squidRoot;
  WebServer squid(WebServer::kSquid, squidRoot.path());
  setenv("https_proxy", squid.BaseUrl().c_str(), 1);
  Downloader::Options trusting;
  trusting.caFile = certificate.cert();
  {
    Downloader downloader(trusting);
    FetchAll(downloader, nginx.BaseUrl());
    EXPECT_EQ(downloader.counts().http2, kFiles);
  }
  ExpectProtocol(nginx, "HTTP/2.0");
  // Squid logs a tunnel once it is closed: one for every file.
  const std::string connect = "CONNECT 127.0.0.1:" + std::to_string(nginx.port());
  std::size_t tunnels = 0;
  for (int i = 0; i < 500 && tunnels == 0; ++i) {
    const std::string log = squid.Log();
    for (std::size_t at = log.find(connect); at != std::string::npos;
         at = log.find(connect, at + 1)) {
      ++tunnels;
    }
    if (tunnels == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(tunnels, 1u) << squid.Log();
}

TEST_F(TransferPoolTest, CancelInOneCallbackLeavesTheOtherTransfersAndTheDownloaderUsable) {
  WriteFileBytes(root_ / "large.bin", NoiseBytes(2 << 20, 9));
  NginxServer nginx(root_.path());
  TcpRelay::Options slow;
  slow.rate = 4 << 20;
  TcpRelay relay(nginx.port(), slow);
  Downloader downloader;
  std::vector<Downloader::TransferId> others;
  std::vector<int> ends(kFiles, 0);
  for (int i = 0; i < 10; ++i) {
    TransferRequest request;
    request.url = Widen(relay.BaseUrl() + Name(i));
    request.localPath = FromUtf8Lossy((local_ / Name(i)).string());
    request.callback = [&ends, i](int event, const Transfer&) {
      if (event == DOWNLOAD_DONE) ++ends[static_cast<std::size_t>(i)];
      return 0;
    };
    others.push_back(downloader.Start(std::move(request)));
  }
  TransferRequest large;
  large.url = Widen(relay.BaseUrl() + "large.bin");
  large.localPath = FromUtf8Lossy((local_ / "large.bin").string());
  large.callback = [](int event, const Transfer& t) {
    if (event == DOWNLOAD_PROGRESS && t.offset > (256 << 10)) throw WorkerCancelled{};
    return 0;
  };
  const Downloader::TransferId thrower = downloader.Start(std::move(large));

  EXPECT_THROW(downloader.RunUntil([] { return false; }), WorkerCancelled);
  EXPECT_FALSE(downloader.Active(thrower));
  // The file holds what arrived before the cancel, no more.
  const std::string partial = ReadFileBytes(local_ / "large.bin");
  EXPECT_EQ(partial.size(), static_cast<std::size_t>(2 << 20)) << "sized up front";

  downloader.RunUntil([&] {
    for (auto id : others) {
      if (downloader.Active(id)) return false;
    }
    return true;
  });
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(ends[static_cast<std::size_t>(i)], 1);
    EXPECT_EQ(ReadFileBytes(local_ / Name(i)), ReadFileBytes(root_ / Name(i)));
  }
  DownloadRecorder again(local_ / "again.bin");
  again.Fetch(downloader, relay.BaseUrl() + Name(20));
  EXPECT_EQ(again.Last().state, TRANSFER_DONE);
  EXPECT_EQ(ReadFileBytes(local_ / "again.bin"), ReadFileBytes(root_ / Name(20)));
}

}  // namespace
}  // namespace launcher::testing
