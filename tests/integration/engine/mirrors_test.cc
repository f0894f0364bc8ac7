// Mirrors named in the server list, each a real server on loopback: a
// selected server that is down (refusing, silent until the connect
// time-out, or gone in the middle of the run) costs one attempt per run and
// the mirror serves everything; a
// server that serves a wrong file gives that file up to its mirror after
// the retry; a mirror that lags a release never mixes it into an
// installation, whether it is the home or a fallback. The log names every
// move and what a fallback served.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "files/server_mirrors.h"
#include "files/server_select.h"
#include "files/string_table.h"
#include "integration/engine/engine_fixture.h"
#include "net/downloader.h"
#include "support/publish_fixture.h"
#include "support/utf16_files.h"
#include "update/list_path.h"
#include "update/normal_update.h"
#include "update/update_state.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::Release;
using testing::WriteFileBytes;

Release Version(int v) {
  Release r = testing::ManyFiles(24, 10u * static_cast<unsigned>(v));
  r["common.txt"] = "the same in every version";
  return r;
}

class MirrorsTest : public testing::EngineFixture {
 protected:
  ~MirrorsTest() override { Downloader::SetDefaultOptionsForTesting({}); }

  // The selected server "A" and its group, in this order.
  void UseServers(const std::vector<std::pair<std::string, std::string>>& servers) {
    std::vector<std::string> lines;
    for (const auto& [name, url] : servers)
      lines.push_back("\"" + name + "\" \"" + url + "\" \"g\"");
    testing::WriteUtf16Lines(env_.Patcher("server/updateserver.txt"), lines);
    testing::WriteUtf16Lines(env_.Config("update.cfg"), {"UpdateServerSelect A"});
    SelectUpdateServer();
  }

  // Release 1 installed, 1 and 2 published.
  void InstalledOneServedTwo() {
    Publish(1, Version(1));
    Publish(2, Version(2));
    Install(Version(1));
    WriteFileBytes(env_.Config("version.sw"), "1\r\n");
  }

  // A copy of the served tree as it is now, served by a server of its own.
  std::unique_ptr<testing::NginxServer> Snapshot(const std::string& name,
                                                 const std::string& extraConfig = {}) {
    const fs::path copy = env_.root() / name;
    fs::remove_all(copy);
    fs::copy(served_, copy, fs::copy_options::recursive);
    testing::NginxServer::Options options;
    options.extraServerConfig = extraConfig;
    return std::make_unique<testing::NginxServer>(copy, options);
  }

  int RunUpdate() {
    NewRun();
    SelectUpdateServer();
    RunNormalUpdate();
    return ReadNumber("version.sw");
  }
  int ReadNumber(const std::string& file) const {
    std::error_code ec;
    return fs::exists(env_.Config(file), ec) ? std::stoi(testing::ReadFileBytes(env_.Config(file)))
                                             : 0;
  }
  std::vector<std::string> Lines(int slot) const {
    std::vector<std::string> out;
    const std::string prefix = "S" + std::to_string(slot) + " ";
    for (const auto& line : Log()) {
      if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
    }
    return out;
  }
  static std::size_t Count(const testing::NginxServer& server, const std::string& part) {
    std::size_t n = 0;
    for (const auto& line : server.WaitForAccessLog(0)) n += line.find(part) != std::string::npos;
    return n;
  }
};

TEST_F(MirrorsTest, ServerDownCostsOneAttemptPerRunAndTheMirrorServesAll) {
  InstalledOneServedTwo();
  auto mirror = Snapshot("mirror");
  testing::RefusingPort refusing;
  UseServers({{"A", "http://127.0.0.1:" + std::to_string(refusing.port()) + "/"},
              {"B", mirror->BaseUrl()}});

  EXPECT_EQ(RunUpdate(), 2);
  EXPECT_EQ(Installed(), Version(2));
  EXPECT_EQ(Lines(MSG_LOG_SERVER_FAILED),
            (std::vector<std::string>{"A (no connection (7)) -> B: info/pid"}));
  EXPECT_EQ(Lines(MSG_LOG_SERVED_BY), (std::vector<std::string>{"B: version 2"}));

  // A server that takes no connection at all: the connect time-out, once.
  Publish(3, Version(3));
  mirror = Snapshot("mirror");
  testing::SilentPort silent;
  Downloader::Options quick;
  quick.connectTimeoutMs = 400;
  Downloader::SetDefaultOptionsForTesting(quick);
  UseServers(
      {{"A", "http://127.0.0.1:" + std::to_string(silent.port()) + "/"}, {"B", mirror->BaseUrl()}});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunUpdate(), 3);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(Installed(), Version(3));
  std::size_t failures = 0;
  for (const auto& line : Lines(MSG_LOG_SERVER_FAILED)) failures += line.rfind("A (", 0) == 0;
  EXPECT_EQ(failures, 2u) << "one in each run";
  EXPECT_LT(took, std::chrono::seconds(8)) << "not a time-out per file";
  Downloader::SetDefaultOptionsForTesting({});

  // The home answers the version and its list, then goes down as the files
  // start: the first file that finds it gone moves on, and every other one
  // goes to the mirror without trying it again.
  Publish(4, Version(4));
  mirror = Snapshot("mirror");
  auto home = Snapshot("home");
  UseServers({{"A", home->BaseUrl()}, {"B", mirror->BaseUrl()}});
  env_.display.SetHook([&home](const testing::DisplayCall& call) {
    if (call.kind == testing::DisplayCall::kStatus && call.text == Msg(MSG_DOWNLOADING))
      home.reset();
  });
  EXPECT_EQ(RunUpdate(), 4);
  env_.display.SetHook({});
  EXPECT_EQ(Installed(), Version(4));
  std::vector<std::string> fromA;
  for (const auto& line : Lines(MSG_LOG_SERVER_FAILED)) {
    if (line.rfind("A (no connection (7)) -> B: ./", 0) == 0) fromA.push_back(line);
  }
  EXPECT_EQ(fromA.size(), 1u) << "A is left out once found down";
}

TEST_F(MirrorsTest, WrongFileIsRetriedThenComesFromTheMirror) {
  InstalledOneServedTwo();
  auto mirror = Snapshot("mirror");
  // The home serves one file with other bytes of the same length.
  const std::string spoiled = "dir1/file5.dat";
  const fs::path served = served_ / "patcher" / "patcher" / EncodeListPath(spoiled).substr(2);
  std::string bytes = testing::ReadFileBytes(served);
  bytes[bytes.size() / 2] ^= 0x55;
  WriteFileBytes(served, bytes);
  StartServer();
  UseServers({{"A", nginx_->BaseUrl()}, {"B", mirror->BaseUrl()}});

  EXPECT_EQ(RunUpdate(), 2);
  EXPECT_EQ(Installed(), Version(2));
  const std::string encoded = EncodeListPath(spoiled).substr(1);
  EXPECT_GE(Count(*nginx_, encoded), 2u) << "the retry on the home first";
  EXPECT_EQ(Count(*mirror, encoded), 1u);
  EXPECT_EQ(Count(*mirror, "/patcher/patcher/"), 1u) << "nothing else from the mirror";
  EXPECT_EQ(Lines(MSG_LOG_SERVER_FAILED),
            (std::vector<std::string>{"A (wrong content twice) -> B: ./" + spoiled}));
  EXPECT_EQ(Lines(MSG_LOG_SERVED_BY),
            (std::vector<std::string>{"A: version 2", "B: ./" + spoiled}));
}

TEST_F(MirrorsTest, MirrorLaggingAReleaseNeverMixesIt) {
  InstalledOneServedTwo();
  auto lagging = Snapshot("lagging");
  Publish(3, Version(3));

  // The current home cannot serve one file; the mirror has it only as it
  // was in release 2, which is not the listed content: the update fails
  // and nothing is installed.
  const std::string failing = "dir2/file6.dat";
  auto current = Snapshot("current", "location = /patcher/patcher/" +
                                         EncodeListPath(failing).substr(2) + " { return 503; }");
  UseServers({{"A", current->BaseUrl()}, {"B", lagging->BaseUrl()}});
  EXPECT_EQ(RunUpdate(), 1);
  EXPECT_EQ(Installed(), Version(1));
  const auto moves = Lines(MSG_LOG_SERVER_FAILED);
  ASSERT_FALSE(moves.empty());
  EXPECT_EQ(moves.front(), "A (HTTP 503) -> B: ./" + failing);

  // The lagging mirror as the home: the run takes release 2 from it, whole,
  // and asks the current one for nothing.
  auto fresh = Snapshot("fresh");
  UseServers({{"A", lagging->BaseUrl()}, {"B", fresh->BaseUrl()}});
  EXPECT_EQ(RunUpdate(), 2);
  EXPECT_EQ(Installed(), Version(2));
  EXPECT_EQ(Count(*fresh, "GET"), 0u);

  // Once it caught up, the next run reaches release 3.
  lagging = Snapshot("lagging");
  UseServers({{"A", lagging->BaseUrl()}, {"B", fresh->BaseUrl()}});
  EXPECT_EQ(RunUpdate(), 3);
  EXPECT_EQ(Installed(), Version(3));
}

}  // namespace
}  // namespace launcher
