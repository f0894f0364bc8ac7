// The Windows engine's network path under Wine, driven through
// launcher-fetch.exe (the Downloader with its production options) against
// nginx on loopback. It takes its proxy from the user's Internet settings
// when the environment names none: the settings are written into Wine's
// registry, and Squid's access log tells which requests went through it.
// And https through Schannel verifies the server. Labelled "wine"; needs
// make windows.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/nginx_server.h"
#include "support/publish_fixture.h"
#include "support/temp_dir.h"
#include "support/web_server.h"
#include "support/windows_build.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;

// DefaultConnectionSettings as Windows stores it: version 0x46, a counter,
// the flags (1 direct, 2 manual proxy, 4 PAC address, 8 detection), then
// the proxy, the bypass list and the PAC address, each a length and bytes.
std::string SettingsHex(std::uint32_t flags, const std::string& proxy, const std::string& bypass,
                        const std::string& pac) {
  std::string bytes;
  auto word = [&](std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  word(0x46);
  word(0);
  word(flags);
  for (const std::string* text : {&proxy, &bypass, &pac}) {
    word(static_cast<std::uint32_t>(text->size()));
    bytes += *text;
  }
  bytes += std::string(28, '\0');
  std::string hex;
  for (char byte : bytes) {
    const auto c = static_cast<unsigned char>(byte);
    hex += "0123456789abcdef"[c >> 4];
    hex += "0123456789abcdef"[c & 15];
  }
  return hex;
}

class SystemProxyWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(fetch_)) << fetch_ << ": run make windows";
    // A prefix of its own: the settings written here reach no other test.
    setenv("WINEPREFIX", (fs::path(LAUNCHER_BINARY_DIR) / "tests/wine-prefix-proxy").c_str(), 1);
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "no_proxy"}) unsetenv(name);
    for (const char* name : {"manual", "bypassed", "environment", "pac"})
      WriteFileBytes(root_ / name, std::string("bytes of ") + name);
    WriteFileBytes(root_ / "moved", "bytes of hop");
  }
  void TearDown() override {
    unsetenv("http_proxy");
    unsetenv("WINEPREFIX");
  }

  void Settings(std::uint32_t flags, const std::string& proxy, const std::string& bypass,
                const std::string& pac = "") {
    ProcessResult reg = RunUnderWine(
        {"reg.exe", "add",
         "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections", "/v",
         "DefaultConnectionSettings", "/t", "REG_BINARY", "/d",
         SettingsHex(flags, proxy, bypass, pac), "/f"});
    ASSERT_EQ(reg.status, 0) << reg.out << reg.err;
  }

  // Fetches `name` from the origin; true when the bytes arrived.
  bool Fetch(const std::string& name) {
    ProcessResult run =
        RunUnderWine({fetch_.string(), origin_.BaseUrl() + name, WinePath(local_ / name)});
    EXPECT_EQ(run.status, 0) << name << ": " << run.out << run.err;
    return run.status == 0 && ReadFileBytes(local_ / name) == "bytes of " + name;
  }

  // Whether Squid logged the request for `name` (its log may lag a little).
  bool ProxySaw(const std::string& name) {
    const std::string request = "GET " + origin_.BaseUrl() + name;
    for (int i = 0; i < 100; ++i) {
      if (squid_.Log().find(request) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  const fs::path fetch_ = WindowsBuildTree() / "tests/windows/launcher-fetch.exe";
  TempDir root_;
  NginxServer origin_{root_.path(), [] {
                        NginxServer::Options options;
                        options.extraServerConfig =
                            "location = /hop { return 302 http://localhost:$server_port/moved; }";
                        return options;
                      }()};
  TempDir squidRoot_;
  WebServer squid_{WebServer::kSquid, squidRoot_.path()};
  TempDir local_;
  const std::string squidAddress_ = "127.0.0.1:" + std::to_string(squid_.port());
};

TEST_F(SystemProxyWineTest, TheUsersProxySettingsCarryTheEnginesRequests) {
  // A manual proxy for every scheme; loopback goes to it only because the
  // bypass list says "<-loopback>".
  Settings(3, squidAddress_, "<-loopback>;*.corp.example");
  EXPECT_TRUE(Fetch("manual"));
  EXPECT_TRUE(ProxySaw("manual")) << squid_.Log();

  // One proxy per scheme, and an address the bypass list names goes direct.
  Settings(3, "https=127.0.0.1:1;http=" + squidAddress_, "<-loopback>;127.0.0.*");
  EXPECT_TRUE(Fetch("bypassed"));
  EXPECT_FALSE(ProxySaw("bypassed")) << squid_.Log();

  // A proxy auto-config script, fetched from the origin and run by WinHTTP.
  WriteFileBytes(root_ / "proxy.pac",
                 "function FindProxyForURL(url, host) { return \"PROXY " + squidAddress_ + "\"; }");
  Settings(5, "", "", origin_.BaseUrl() + "proxy.pac");
  EXPECT_TRUE(Fetch("pac"));
  EXPECT_TRUE(ProxySaw("pac")) << squid_.Log();

  // A script that sends one host through the proxy and another direct: a
  // redirect to the second host is asked for direct.
  WriteFileBytes(root_ / "proxy.pac",
                 "function FindProxyForURL(url, host) { return host == "
                 "\"localhost\" ? \"DIRECT\" : \"PROXY " +
                     squidAddress_ + "\"; }");
  EXPECT_TRUE(Fetch("hop"));
  EXPECT_TRUE(ProxySaw("hop")) << squid_.Log();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(squid_.Log().find("GET http://localhost:"), std::string::npos) << squid_.Log();

  // The environment wins over the settings, as on Linux.
  Settings(3, "127.0.0.1:1", "<-loopback>");
  setenv("http_proxy", ("http://" + squidAddress_ + "/").c_str(), 1);
  EXPECT_TRUE(Fetch("environment"));
  EXPECT_TRUE(ProxySaw("environment")) << squid_.Log();
}

// https with the Windows build's libcurl (Schannel; HTTP/2 through its
// ALPN). The test authority is given as Options::caFile: Wine's Schannel
// does not verify a server against the system's store itself. Schannel
// under Wine matches no IP address, so the trusted server is addressed as
// "localhost".
TEST(HttpsWineTest, OnlyATrustedServerForItsNameDelivers) {
  const fs::path fetch = WindowsBuildTree() / "tests/windows/launcher-fetch.exe";
  ASSERT_TRUE(fs::exists(fetch)) << fetch << ": run make windows";
  for (const char* name : {"http_proxy", "https_proxy", "all_proxy"}) unsetenv(name);
  TempDir keys, root, local;
  auto tls = [&](const std::string& name) {
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 "
        "-subj /CN=localhost -addext subjectAltName=DNS:localhost -keyout " +
        (keys / (name + ".key")).string() + " -out " + (keys / (name + ".pem")).string() +
        " 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
    NginxServer::Options options;
    options.tlsCertificate = keys / (name + ".pem");
    options.tlsKey = keys / (name + ".key");
    return options;
  };
  WriteFileBytes(root / "f.bin", "secure bytes");
  // The trusted one offers HTTP/2, which Schannel's ALPN takes. Schannel has
  // ALPN from Windows 8.1 on, and libcurl asks the system's version; a Wine
  // prefix says Windows 7 unless told otherwise for the program.
  EXPECT_EQ(RunUnderWine({"reg", "add", "HKCU\\Software\\Wine\\AppDefaults\\launcher-fetch.exe",
                          "/v", "Version", "/d", "win10", "/f"})
                .status,
            0);
  NginxServer::Options offersHttp2 = tls("trusted");
  offersHttp2.http2 = true;
  NginxServer trusted(root.path(), offersHttp2);
  NginxServer stranger(root.path(), tls("stranger"));
  auto fetchFrom = [&](const std::string& host, int port, const std::string& target) {
    const std::string url = "https://" + host + ":" + std::to_string(port) + "/f.bin";
    return RunUnderWine(
        {fetch.string(), url, WinePath(local / target), WinePath(keys / "trusted.pem")});
  };

  ProcessResult good = fetchFrom("localhost", trusted.port(), "good.bin");
  EXPECT_EQ(good.status, 0) << good.out << good.err;
  EXPECT_EQ(ReadFileBytes(local / "good.bin"), "secure bytes");

  // Signed by no authority given; then the trusted server at an address its
  // certificate does not name. CURLE_PEER_FAILED_VERIFICATION, before any
  // request, and no file.
  for (const auto& [host, port] : {std::pair<std::string, int>{"localhost", stranger.port()},
                                   std::pair<std::string, int>{"127.0.0.1", trusted.port()}}) {
    ProcessResult refused = fetchFrom(host, port, "refused.bin");
    EXPECT_EQ(refused.status, 1) << host;
    EXPECT_EQ(refused.out.rfind("state 5 detail 60 ", 0), 0u) << host << ": " << refused.out;
    EXPECT_FALSE(fs::exists(local / "refused.bin")) << host;
  }
  EXPECT_TRUE(stranger.AccessLogLines().empty());
  const auto requests = trusted.WaitForAccessLog(1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].rfind("GET /f.bin HTTP/2.0\t", 0), 0u) << requests[0];
}

}  // namespace
}  // namespace launcher::testing
