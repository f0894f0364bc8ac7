// The launcher against every common web server and a forward proxy, each the
// distribution's package run on loopback from a configuration the test
// writes: a first installation from nothing (the full check), then an update
// killed a third of the way into a large file, while small files come ahead
// of it, and run again. The second run must move only the rest of that file
// over the wire (counted by a relay in front of the server) and the small
// files not staged before the kill, except on Python's server, which knows
// no ranges: there the file starts again and the update still finishes.
// HTTP/1.1 servers see a few kept connections, nginx with HTTP/2 over TLS
// one. Through Squid (with and without basic authentication) every run must
// end in seconds, and an https origin is reached through CONNECT on one
// tunnel.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include "files/utf16.h"
#include "integration/servers/launcher_run.h"
#include "net/downloader.h"
#include "support/nginx_server.h"
#include "support/publish_fixture.h"
#include "support/release_server.h"
#include "support/tcp_relay.h"
#include "support/temp_dir.h"
#include "support/test_certificate.h"
#include "support/web_server.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;

// A proxy's reading ahead, moved by a resumed run besides the rest.
constexpr std::int64_t kProxyReadAhead = 256 << 10;

void ClearProxies() {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                           "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
    unsetenv(name);
  }
}

struct ServerCase {
  const char* name;
  bool nginx;
  WebServer::Kind kind;
  bool ranges;
  int connectionsAtMost;  // per run; 0: the server closes after every answer
  bool http2 = false;     // nginx over TLS, offering HTTP/2
};

void PrintTo(const ServerCase& c, std::ostream* os) { *os << c.name; }

class ServerMatrixTest : public ::testing::TestWithParam<ServerCase> {
 protected:
  void SetUp() override { ClearProxies(); }
};

TEST_P(ServerMatrixTest, FirstInstallationThenResumedUpdate) {
  const ServerCase& c = GetParam();
  JourneyTrees trees;
  std::unique_ptr<NginxServer> nginx;
  std::unique_ptr<WebServer> other;
  int port = 0;
  std::unique_ptr<TestCertificate> certificate;
  if (c.nginx) {
    NginxServer::Options options;
    if (c.http2) {
      certificate = std::make_unique<TestCertificate>();
      options.tlsCertificate = certificate->cert();
      options.tlsKey = certificate->key();
      options.http2 = true;
      setenv("LAUNCHER_HEADLESS_CA_FILE", certificate->cert().c_str(), 1);
    }
    nginx = std::make_unique<NginxServer>(trees.Root(), options);
    port = nginx->port();
  } else {
    other = std::make_unique<WebServer>(c.kind, trees.Root());
    port = other->port();
  }
  TcpRelay::Options slow;
  slow.rate = kJourneyRate;
  TcpRelay relay(port, slow);
  JourneyExpect expect;
  expect.ranges = c.ranges;
  expect.connectionsAtMost = c.connectionsAtMost;
  if (c.http2) {
    expect.scheme = "https";
    expect.smallFilesFirst = false;
  }
  LauncherRun launcher;
  InstallThenResumeUpdate(launcher, relay, expect);
  unsetenv("LAUNCHER_HEADLESS_CA_FILE");
  if (HasFailure() && other) ADD_FAILURE() << other->Log();
}

INSTANTIATE_TEST_SUITE_P(
    Servers, ServerMatrixTest,
    ::testing::Values(ServerCase{"nginx", true, WebServer::kApache, true, 6},
                      ServerCase{"nginx_http2", true, WebServer::kApache, true, 1, true},
                      ServerCase{"apache", false, WebServer::kApache, true, 6},
                      ServerCase{"lighttpd", false, WebServer::kLighttpd, true, 6},
                      ServerCase{"caddy", false, WebServer::kCaddy, true, 6},
                      ServerCase{"busybox", false, WebServer::kBusybox, true, 0},
                      ServerCase{"python", false, WebServer::kPython, false, 0}),
    [](const ::testing::TestParamInfo<ServerCase>& p) { return std::string(p.param.name); });

class SquidTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { ClearProxies(); }
  ~SquidTest() override { ClearProxies(); }

  // The proxy's address as a player writes it, credentials included.
  std::string ProxyUrl(int port) const {
    return std::string("http://") + (GetParam() ? "player:s3cret%21@" : "") +
           "127.0.0.1:" + std::to_string(port) + "/";
  }
  WebServer::Options SquidOptions() const {
    WebServer::Options options;
    if (GetParam()) options.proxyUser = "player:s3cret!";
    return options;
  }
};

TEST_P(SquidTest, FirstInstallationAndResumedUpdateEndInSeconds) {
  JourneyTrees trees;
  NginxServer origin(trees.Root());
  TcpRelay::Options slow;
  slow.rate = kJourneyRate;
  TcpRelay relay(origin.port(), slow);
  TempDir squidRoot;
  WebServer squid(WebServer::kSquid, squidRoot.path(), SquidOptions());
  // The launcher's side of the proxy, counted too.
  TcpRelay toSquid(squid.port());
  setenv("http_proxy", ProxyUrl(toSquid.port()).c_str(), 1);
  // Each run gets 60 s at most; a transfer that waited for the proxy to close
  // its connection would take the 90 s receive time-out per file.
  JourneyExpect expect;
  expect.slack += kProxyReadAhead;
  LauncherRun launcher;
  InstallThenResumeUpdate(launcher, relay, expect);
  EXPECT_LE(toSquid.WaitIdle().connections, 3 * 6) << "kept connections to the proxy: a few a run";
  if (HasFailure()) ADD_FAILURE() << squid.Log();
}

TEST_P(SquidTest, HttpsOriginThroughConnectOnOneTunnel) {
  TempDir keys;
  const std::string cert = (keys / "cert.pem").string();
  const std::string key = (keys / "key.pem").string();
  const std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
      "-addext subjectAltName=IP:127.0.0.1 -keyout " +
      key + " -out " + cert + " 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  TempDir root;
  for (int i = 0; i < 3; ++i)
    WriteFileBytes(root / ("f" + std::to_string(i)), NoiseBytes(50000, 7));
  NginxServer::Options tls;
  tls.tlsCertificate = cert;
  tls.tlsKey = key;
  NginxServer origin(root.path(), tls);
  TcpRelay relay(origin.port());
  TempDir squidRoot;
  WebServer squid(WebServer::kSquid, squidRoot.path(), SquidOptions());
  setenv("https_proxy", ProxyUrl(squid.port()).c_str(), 1);

  Downloader::Options trusting;
  trusting.caFile = cert;
  TempDir local;
  const std::string base = "https://127.0.0.1:" + std::to_string(relay.port()) + "/";
  auto fetch = [&](Downloader& downloader, const std::string& name) {
    int state = -1;
    downloader.Download(
        Widen(base + name), FromUtf8Lossy((local / "t").string()),
        [&](int event, const Transfer& t) {
          if (event == DOWNLOAD_DONE || event == DOWNLOAD_FAILED) state = t.state;
          return 0;
        },
        0);
    return state == TRANSFER_DONE && ReadFileBytes(local / "t") == NoiseBytes(50000, 7);
  };
  {
    Downloader downloader(trusting);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(fetch(downloader, "f" + std::to_string(i))) << i;
    EXPECT_EQ(relay.Read().connections, 1) << "one tunnel for the run";
  }
  // Squid logs the tunnel once it is closed.
  const std::string connect = "CONNECT 127.0.0.1:" + std::to_string(relay.port());
  for (int i = 0; i < 500 && squid.Log().find(connect) == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_NE(squid.Log().find(connect), std::string::npos) << squid.Log();

  // An address that no_proxy names goes direct, whatever the proxy.
  setenv("https_proxy", "http://127.0.0.1:1/", 1);
  setenv("no_proxy", "127.0.0.1", 1);
  Downloader direct(trusting);
  EXPECT_TRUE(fetch(direct, "f0"));
}

INSTANTIATE_TEST_SUITE_P(Proxy, SquidTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return std::string(p.param ? "BasicAuth" : "Open");
                         });

}  // namespace
}  // namespace launcher::testing
