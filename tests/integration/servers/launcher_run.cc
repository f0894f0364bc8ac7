#include "integration/servers/launcher_run.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "support/child_server.h"
#include "support/publish_fixture.h"
#include "support/tcp_relay.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

}  // namespace

LauncherRun::LauncherRun(HeadlessProgram program)
    : program_(std::move(program)), launcher_(MakeInstallLayout(dir_.path())) {
  WriteFileBytes(dir_ / "patcher" / "server" / "pid.ini", "[Version]\npid=1\n");
  program_.InstallPatcher(dir_ / "patcher" / "patcher.exe");
  WriteUtf16Lines(dir_ / "config" / "patcher" / "update.cfg", {"UpdateServerSelect test"});
  WriteNumberedStringTable(launcher_ / "stringtab.txt");
}

void LauncherRun::UseServer(const std::string& baseUrl) {
  WriteUtf16Lines(dir_ / "patcher" / "server" / "updateserver.txt",
                  {"\"test\" \"" + baseUrl + "\""});
}

void LauncherRun::UseMirrorOf(const std::string& downUrl, const std::string& baseUrl) {
  WriteUtf16Lines(dir_ / "patcher" / "server" / "updateserver.txt",
                  {"\"test\" \"" + downUrl + "\" \"g\"", "\"mirror\" \"" + baseUrl + "\" \"g\""});
}

int LauncherRun::Run(bool fullCheck, int limitSeconds) {
  const std::vector<std::string> switches =
      fullCheck ? std::vector<std::string>{"FullCheck"} : std::vector<std::string>{};
  return program_.Run(launcher_, switches, dir_ / "out.txt", std::chrono::seconds(limitSeconds));
}

pid_t LauncherRun::Start(bool fullCheck) {
  const std::vector<std::string> switches =
      fullCheck ? std::vector<std::string>{"FullCheck"} : std::vector<std::string>{};
  return program_.Start(launcher_, switches, dir_ / "out.txt");
}

int LauncherRun::Wait(pid_t pid, int limitSeconds) {
  if (pid < 0) return -1;
  const int status = ReapChild(pid, Clock::now() + std::chrono::seconds(limitSeconds));
  // The stand-in patcher must have recorded its start before a next run.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return status;
}

LauncherRun::Killed LauncherRun::RunKilledAtAThird(std::int64_t minTotal) {
  Killed result;
  const pid_t pid = program_.Start(launcher_, {}, dir_ / "out.txt");
  if (pid < 0) return result;
  const fs::path record = dir_ / "config" / "patcher" / "ustate.sw";
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < deadline) {
    long long version = 0, entries = 0, done = 0, total = 0;
    std::error_code ec;
    if (fs::exists(record, ec) &&
        std::sscanf(ReadFileBytes(record).c_str(), "%lld %lld %lld %lld", &version, &entries, &done,
                    &total) == 4 &&
        total > minTotal && done * 3 >= total) {
      kill(pid, SIGKILL);
      result = {true, done, total};
      break;
    }
    if (waitpid(pid, nullptr, WNOHANG) == pid) return result;  // ended on its own
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ReapChild(pid, Clock::now());
  // The record may have moved on between the look and the kill.
  long long version = 0, entries = 0, done = 0, total = 0;
  if (result.killed && std::sscanf(ReadFileBytes(record).c_str(), "%lld %lld %lld %lld", &version,
                                   &entries, &done, &total) == 4) {
    result.bytesDone = done;
    result.totalBytes = total;
  }
  return result;
}

Release LauncherRun::Installed() const {
  Release tree = ReadTree(dir_ / "patcher", "server");
  tree.erase("patcher.exe");
  return tree;
}

std::string LauncherRun::InstalledVersion() const { return ConfigFile("version.sw"); }

std::string LauncherRun::ConfigFile(const std::string& name) const {
  std::error_code ec;
  const fs::path file = dir_ / "config" / "patcher" / name;
  return fs::exists(file, ec) ? ReadFileBytes(file) : std::string();
}

std::string LauncherRun::Output() const { return ReadFileBytes(dir_ / "out.txt"); }

std::vector<std::string> LauncherRun::LogLines() const {
  return UpdateLogLines(dir_ / "config" / "patcher" / "update.log");
}

std::vector<std::string> LauncherRun::PatcherStarts() const {
  std::error_code ec;
  const fs::path record = PatcherRecordFor(dir_ / "out.txt");
  std::vector<std::string> firstArgs;
  if (!fs::exists(record, ec)) return firstArgs;
  for (const std::string& line : TextLines(ReadFileBytes(record))) {
    const std::size_t at = line.find("arg1=");
    firstArgs.push_back(at == std::string::npos
                            ? std::string()
                            : line.substr(at + 5, line.find('\t', at) - at - 5));
  }
  return firstArgs;
}

namespace {

// "pack/s07.bin": after the large file in list order.
std::string SmallFile(int i) {
  return "pack/s" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".bin";
}

}  // namespace

Release JourneyVersion1() {
  Release r = {{"patcher.dat", "patcher 1"},
               {"lang/en.txt", "hello"},
               {"data/big.bin", NoiseBytes(kJourneyBigFile, 1)}};
  for (int i = 0; i < kJourneySmallFiles; ++i)
    r[SmallFile(i)] = NoiseBytes(kJourneySmallFile, 100u + static_cast<unsigned>(i));
  return r;
}

Release JourneyVersion2() {
  Release r = JourneyVersion1();
  r["data/big.bin"] = NoiseBytes(kJourneyBigFile, 2);
  r["lang/en.txt"] = "hello again";
  r["lang/fr.txt"] = "bonjour";
  for (int i = 0; i < kJourneySmallFiles; ++i)
    r[SmallFile(i)] = NoiseBytes(kJourneySmallFile, 200u + static_cast<unsigned>(i));
  return r;
}

JourneyTrees::JourneyTrees() {
  auto files = [](const Release& r) { return ReleaseFiles(r.begin(), r.end()); };
  WriteRelease(dir_ / "r1", 1, files(JourneyVersion1()));
  WriteRelease(dir_ / "r2", 1, files(JourneyVersion1()));
  WriteRelease(dir_ / "r2", 2, files(JourneyVersion2()));
  fs::create_directories(dir_ / "served");
  BuildTestServerTree(dir_ / "r1", dir_ / "served" / "v1");
  BuildTestServerTree(dir_ / "r2", dir_ / "served" / "v2");
}

std::string Differences(const Release& got, const Release& want) {
  std::string out;
  for (const auto& [path, content] : want) {
    auto it = got.find(path);
    if (it == got.end())
      out += " missing " + path;
    else if (it->second != content)
      out += " wrong " + path;
  }
  for (const auto& [path, content] : got) {
    if (!want.count(path)) out += " extra " + path;
  }
  return out;
}

int LauncherRun::StagedSmallFiles() const {
  int staged = 0;
  const Release want = JourneyVersion2();
  for (int i = 0; i < kJourneySmallFiles; ++i) {
    const fs::path copy = dir_ / "config" / "patcher" / "temp" / SmallFile(i);
    std::error_code ec;
    if (fs::is_regular_file(copy, ec) && ReadFileBytes(copy) == want.at(SmallFile(i))) ++staged;
  }
  return staged;
}

void InstallThenResumeUpdate(LauncherRun& launcher, TcpRelay& relay, const JourneyExpect& expect) {
  const std::string base = expect.scheme + "://127.0.0.1:" + std::to_string(relay.port()) + "/";
  RefusingPort down;
  const auto use = [&](const std::string& tree) {
    if (!expect.homeDown) return launcher.UseServer(base + tree);
    launcher.UseMirrorOf("http://127.0.0.1:" + std::to_string(down.port()) + "/", base + tree);
  };
  use("v1/");
  ASSERT_EQ(launcher.Run(true), 0) << launcher.Output();
  if (expect.connectionsAtMost > 0) {
    EXPECT_LE(relay.WaitIdle().connections, expect.connectionsAtMost) << "connections are kept";
  }
  ASSERT_EQ(Differences(launcher.Installed(), JourneyVersion1()), "");
  EXPECT_EQ(launcher.InstalledVersion(), "1\r\n");

  use("v2/");
  const LauncherRun::Killed killed = launcher.RunKilledAtAThird(kJourneyBigFile / 2);
  ASSERT_TRUE(killed.killed) << "the update ended before a third of the large file";
  ASSERT_LT(killed.bytesDone, killed.totalBytes);
  EXPECT_EQ(launcher.InstalledVersion(), "1\r\n");
  // Small files fetched ahead and staged before the kill; the others may
  // have been in flight, and are fetched again.
  const int staged = launcher.StagedSmallFiles();
  if (expect.smallFilesFirst) {
    EXPECT_GT(staged, 0) << "small files are fetched while the large one comes";
  }
  const std::int64_t refetched = static_cast<std::int64_t>(kJourneySmallFiles - staged) *
                                 static_cast<std::int64_t>(kJourneySmallFile);

  const std::int64_t before = relay.WaitIdle().down;
  ASSERT_EQ(launcher.Run(false), 0) << launcher.Output();
  const std::int64_t moved = relay.WaitIdle().down - before;
  EXPECT_EQ(Differences(launcher.Installed(), JourneyVersion2()), "");
  EXPECT_EQ(launcher.InstalledVersion(), "2\r\n");
  const std::int64_t rest = killed.totalBytes - killed.bytesDone;
  if (expect.ranges) {
    EXPECT_GE(moved, rest);
    EXPECT_LT(moved, rest + refetched + expect.slack)
        << "the resumed run fetched more than the rest (" << staged << " small files staged)";
  } else {
    EXPECT_GE(moved, killed.totalBytes) << "the large file started again";
  }
}

}  // namespace launcher::testing
