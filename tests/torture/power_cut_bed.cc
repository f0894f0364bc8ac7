#include "torture/power_cut_bed.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <thread>

#include "files/paths.h"
#include "files/string_table.h"
#include "seam/cancel.h"
#include "support/engine_state.h"
#include "support/fake_clock.h"
#include "support/headless_program.h"
#include "support/publish_fixture.h"
#include "support/recording_display.h"
#include "torture/torture_bed.h"
#include "update/fetch_ahead.h"
#include "update/state_files.h"
#include "update/update_driver.h"
#include "update/update_state.h"

namespace launcher::testing {

namespace fs = std::filesystem;
using Model = PowerCutFs::Model;

namespace {

constexpr std::size_t kFaultsShown = 12;
// The releases: 1 installed, 2 in between, 3 the newest.
constexpr int kNewest = 3;

std::string Headless() {
  return std::string(LAUNCHER_BINARY_DIR) + "/tests/integration/engine/launcher-headless";
}

// What a file that should not be there holds, in a few words.
std::string DescribeContent(const std::string& content) {
  if (content.empty()) return "empty";
  if (content.find_first_not_of('\0') == std::string::npos)
    return std::to_string(content.size()) + " zero bytes";
  return std::to_string(content.size()) + " bytes";
}

// The first way `got` differs from `want`; empty when equal.
std::string Difference(const Release& got, const Release& want) {
  for (const auto& [path, content] : want) {
    const auto it = got.find(path);
    if (it == got.end()) return path + " is missing";
    if (it->second != content) return path + " holds " + DescribeContent(it->second);
  }
  for (const auto& [path, content] : got) {
    if (!want.count(path)) return path + " is left over";
  }
  return {};
}

int InstalledVersion(const fs::path& root) {
  int version = 0;
  ReadNumberFile((root / "config" / "patcher" / "version.sw").u16string(), version);
  return version;
}

// "launcher-publish build" of `releases` into `out`, without the program.
std::vector<std::string> PublishArgs(const fs::path& releases, const fs::path& out) {
  return {"build", "--releases", releases.string(), "--key",     TestPrivateKeyPath().string(),
          "--pid", "1",          "--out",           out.string()};
}

void CopyTree(const fs::path& from, const fs::path& to) {
  fs::remove_all(to);
  fs::create_directories(to.parent_path());
  fs::copy(from, to, fs::copy_options::recursive);
}

}  // namespace

std::string CutPoint::Describe() const {
  return (atEvent ? "at flush or rename " : "at change ") + std::to_string(number);
}

void Tally::Note(const std::string& fault) {
  ++lost;
  if (faults.size() < kFaultsShown) faults.push_back(fault);
}

void ReportTally(const std::string& path, const Tally& tally) {
  static bool first = true;
  std::ofstream summary("power_cut_summary.txt", first ? std::ios::trunc : std::ios::app);
  first = false;
  const std::string line = "power cuts, " + path + ": " + std::to_string(tally.events) +
                           " flushes and renames, " + std::to_string(tally.changes) + " changes; " +
                           std::to_string(tally.cuts) + " cuts, " +
                           std::to_string(tally.checked[0] + tally.checked[1] + tally.checked[2]) +
                           " crash states checked (model 1: " + std::to_string(tally.checked[0]) +
                           ", model 2: " + std::to_string(tally.checked[1]) +
                           ", model 3: " + std::to_string(tally.checked[2]) + "), " +
                           std::to_string(tally.lost) + " lost\n";
  std::cout << line;
  summary << line;
  for (const std::string& fault : tally.faults) ADD_FAILURE() << path << ": " << fault;
  EXPECT_EQ(tally.lost, 0) << path;
}

const Release& PowerCutBed::Old() {
  static const Release release = {
      {"game.exe", NoiseBytes(30000, 1)},      {"data/a.pak", NoiseBytes(40000, 2)},
      {"data/b.pak", NoiseBytes(20000, 3)},    {"data/c.txt", "c, first version"},
      {"old/legacy.dat", NoiseBytes(5000, 4)}, {"readme.txt", "version 1"}};
  return release;
}

const Release& PowerCutBed::New() {
  static const Release release = {{"game.exe", NoiseBytes(120000, 11)},
                                  {"data/a.pak", NoiseBytes(42000, 12)},
                                  {"data/b.pak", NoiseBytes(20000, 3)},
                                  {"data/c.txt", "c, second version"},
                                  {"new/deep/added.bin", NoiseBytes(25000, 13)},
                                  {"new/small.txt", "added"},
                                  {"readme.txt", "version 3"},
                                  // Over 1 MiB: decompressed past the page cache.
                                  {"data/big.pak", NoiseBytes(1100000, 15)}};
  return release;
}

// Release 2 differs from 1 in the files an interrupted update stages first.
const Release& PowerCutBed::Between() {
  static const Release release = [] {
    Release between = Old();
    between["game.exe"] = NoiseBytes(110000, 21);
    between["readme.txt"] = "version 2";
    between["data/a.pak"] = NoiseBytes(41000, 22);
    between["data/c.txt"] = "c, in between";
    return between;
  }();
  return release;
}

void PowerCutBed::SetUp() {
  const std::string why = PowerCutFs::Unavailable();
  if (!why.empty()) GTEST_SKIP() << "no FUSE here, so no power cuts: " << why;
  rng_.seed(TortureSeed(20261209));
  WriteRelease(dir_ / "releases", 1, Old());
  WriteRelease(dir_ / "releases", 2, Between());
  WriteRelease(dir_ / "releases", kNewest, New());
  BuildTestServerTree(dir_ / "releases", dir_ / "served");
  nginx_ = std::make_unique<NginxServer>(dir_ / "served");
  // The launcher's named locks, for the runs on the file system and here.
  fs::create_directories(dir_ / "locks");
  fs::permissions(dir_ / "locks", fs::perms::owner_all, fs::perm_options::replace);
  ::setenv("XDG_RUNTIME_DIR", (dir_ / "locks").c_str(), 1);
}

void PowerCutBed::TearDown() { crashServer_.reset(); }

PowerCutBed::Scenario PowerCutBed::Prepare(const std::string& name, const Release& patcher,
                                           int version, bool fullCheck,
                                           const std::string& baseUrl) {
  Scenario scenario{name, dir_ / ("before-" + std::to_string(std::hash<std::string>{}(name))),
                    patcher, version, fullCheck};
  const fs::path& root = scenario.root;
  MakeInstallLayout(root);
  WriteNumberedStringTable(root / "launcher" / "stringtab.txt");
  WriteTree(root / "patcher", patcher);
  WriteFileBytes(root / "patcher" / "server" / "pid.ini", "[Version]\npid=1\n");
  WriteUtf16Lines(root / "patcher" / "server" / "updateserver.txt",
                  {"\"local\" \"" + (baseUrl.empty() ? nginx_->BaseUrl() : baseUrl) + "\""});
  WriteUtf16Lines(root / "config" / "patcher" / "update.cfg", {"UpdateServerSelect local"});
  if (version != 0) {
    WriteFileBytes(root / "config" / "patcher" / "version.sw", std::to_string(version) + "\r\n");
  }
  return scenario;
}

PowerCutBed::Scenario PowerCutBed::PrepareInterrupted(bool serverMovedOn) {
  Scenario scenario = Prepare(
      serverMovedOn ? "update resumed after the server moved on" : "resumed incremental update",
      Old(), 1, false);
  const fs::path updateServers = scenario.root / "patcher" / "server" / "updateserver.txt";
  std::unique_ptr<NginxServer> earlier;
  if (serverMovedOn) {
    // Interrupted while the server offered release 2.
    WriteRelease(dir_ / "releases-to-2", 1, Old());
    WriteRelease(dir_ / "releases-to-2", 2, Between());
    BuildTestServerTree(dir_ / "releases-to-2", dir_ / "served-to-2");
    earlier = std::make_unique<NginxServer>(dir_ / "served-to-2");
    WriteUtf16Lines(updateServers, {"\"local\" \"" + earlier->BaseUrl() + "\""});
  }
  // Closed at a progress event of the third entry's transfer or a later
  // one's, once ustate.sw records it. Fetched ahead, every file of these
  // small releases would be staged whole before the pass came to it: this
  // run fetches one at a time, so that it is closed at a byte.
  SetFetchAheadForTesting(false);
  RunWorker(scenario.root / "launcher", false, [](const DisplayCall& call) {
    if (InTransfer(call) && EntriesDone >= 2) {
      WindowClosing = 1;
      CancelRequested = 1;
    }
  });
  SetFetchAheadForTesting(true);
  WriteUtf16Lines(updateServers, {"\"local\" \"" + nginx_->BaseUrl() + "\""});
  const fs::path config = scenario.root / "config" / "patcher";
  const UpdateStateRecord record = ParseUpdateState(ReadFileBytes(config / "ustate.sw"));
  EXPECT_EQ(record.stateVersion, serverMovedOn ? 2 : kNewest);
  EXPECT_GT(record.bytesDone, 0) << "the update was not closed during a transfer";
  EXPECT_TRUE(fs::exists(config / "inc.sw"));
  EXPECT_EQ(ReadTree(scenario.root / "patcher", "server"), Old());
  return scenario;
}

void PowerCutBed::RunWorker(const fs::path& launcherDir, bool fullCheck,
                            const RecordingDisplay::Hook& hook) {
  ScopedEngineState state;
  ScopedCurrentDir cwd(launcherDir);
  RecordingDisplay display;
  ScopedDisplay shown(&display);
  FakeClock clock;
  ScopedEngineClock timed(&clock);
  LoadStringTable(StringTablePath);
  display.SetHook(hook);
  const int flag = fullCheck ? 1 : 0;
  UpdateThreadProc(&flag);
}

bool PowerCutBed::InTransfer(const DisplayCall& call) {
  return call.kind == DisplayCall::kFile && BytesDone > 0 && BytesDone < TotalBytes;
}

std::unique_ptr<PowerCutFs> PowerCutBed::MountCopy(const fs::path& from, CutPoint cut) {
  CopyTree(from, dir_ / "backing");
  fs::create_directories(dir_ / "mnt");
  auto mounted = std::make_unique<PowerCutFs>(dir_ / "backing", dir_ / "mnt");
  if (!mounted->ok()) {
    ADD_FAILURE() << mounted->problem();
    return nullptr;
  }
  if (cut.number > 0 && cut.atEvent) mounted->CutAtEvent(cut.number);
  if (cut.number > 0 && !cut.atEvent) mounted->CutAtChange(cut.number);
  return mounted;
}

bool PowerCutBed::RunOnFs(const std::vector<std::string>& command, const fs::path& workDir,
                          PowerCutFs& mounted) {
  std::vector<std::string> args = command;
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const std::string out = (dir_ / "run-output.txt").string();
  const std::string work = workDir.string();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      ::dup2(fd, STDOUT_FILENO);
      ::dup2(fd, STDERR_FILENO);
    }
    if (::chdir(work.c_str()) != 0) ::_exit(126);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return mounted.power_cut();
    if (mounted.power_cut() || std::chrono::steady_clock::now() > deadline) {
      // The power is off: the program stops where it is.
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      EXPECT_TRUE(mounted.power_cut()) << command[0] << " did not end within a minute";
      return mounted.power_cut();
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
}

std::pair<int, int> PowerCutBed::CutLauncher(const Scenario& scenario, CutPoint cut, int moreStates,
                                             Tally& tally) {
  auto mounted = MountCopy(scenario.root, cut);
  if (mounted == nullptr) return {0, 0};
  std::vector<std::string> command = {Headless(), "--dir", (dir_ / "mnt" / "launcher").string()};
  if (scenario.fullCheck) command.push_back("FullCheck");
  const bool wasCut = RunOnFs(command, dir_.path(), *mounted);
  mounted->Unmount();
  const std::pair<int, int> counts{mounted->events(), mounted->changes()};
  if (cut.number == 0) {
    // Without a cut, the run on the test file system ends with the release.
    EXPECT_EQ(Difference(ReadTree(dir_ / "backing" / "patcher", "server"), New()), "")
        << scenario.name << ": the run without a cut";
    EXPECT_EQ(InstalledVersion(dir_ / "backing"), kNewest) << scenario.name;
    return counts;
  }
  if (wasCut) {
    CheckCrashStates(*mounted, scenario.name + ", cut " + cut.Describe(), moreStates, tally,
                     [&](const fs::path& crash) { return RebootLauncher(crash, scenario); });
  }
  return counts;
}

std::string PowerCutBed::RebootLauncher(const fs::path& crash, const Scenario& scenario) {
  const Release survivors = ReadTree(crash / "patcher", "server");
  for (const auto& [path, content] : survivors) {
    const auto before = scenario.before.find(path);
    const auto after = New().find(path);
    if ((before == scenario.before.end() || before->second != content) &&
        (after == New().end() || after->second != content)) {
      return path + " is neither old nor new: " + DescribeContent(content);
    }
  }
  for (const auto& [path, content] : New()) {
    if (scenario.before.count(path) && !survivors.count(path)) return path + " is missing";
  }
  // (A repair starts from a version.sw that already names the newest.)
  if (scenario.version != kNewest && InstalledVersion(crash) == kNewest &&
      !Difference(survivors, New()).empty()) {
    return "version.sw names the newest release, but " + Difference(survivors, New());
  }
  RunWorker(crash / "launcher", scenario.fullCheck);
  const std::string left = Difference(ReadTree(crash / "patcher", "server"), New());
  if (!left.empty()) return "after the next run " + left;
  if (InstalledVersion(crash) != kNewest) return "the next run did not finish";
  return {};
}

void PowerCutBed::CheckCrashStates(const PowerCutFs& mounted, const std::string& cut,
                                   int moreStates, Tally& tally,
                                   const std::function<std::string(const fs::path&)>& reboot) {
  ++tally.cuts;
  for (int state = 0; state <= moreStates; ++state) {
    // Model 1 once, then models 2 and 3 in turn.
    const int model = state == 0 ? 0 : 1 + (state - 1) % 2;
    const unsigned seed = static_cast<unsigned>(rng_());
    const fs::path crash = dir_ / "crash";
    fs::remove_all(crash);
    const std::string kept = mounted.WriteCrashState(crash, static_cast<Model>(model), seed);
    // POWER_CUT_KEEP=<dir> keeps every state, before and after its reboot.
    const char* keep = std::getenv("POWER_CUT_KEEP");
    const fs::path kept_as =
        keep == nullptr ? fs::path() : fs::path(keep) / std::to_string(++kept_);
    if (keep != nullptr) CopyTree(crash, kept_as / "before");
    const std::string fault = reboot(crash);
    if (keep != nullptr) CopyTree(crash, kept_as / "after");
    ++tally.checked[model];
    if (!fault.empty()) {
      tally.Note(cut + ", model " + std::to_string(model + 1) +
                 (model == 0 ? "" : " seed " + std::to_string(seed)) + " (" + kept + "): " + fault +
                 (keep != nullptr ? " [kept as " + kept_as.string() + "]" : ""));
    }
  }
}

void PowerCutBed::PreparePublisher() {
  WriteRelease(dir_ / "releases-1", 1, Old());
  fs::create_directories(dir_ / "before-publisher");
  BuildTestServerTree(dir_ / "releases-1", dir_ / "before-publisher" / "served");
  servedOld_ = TreeBytes(dir_ / "before-publisher" / "served");
  servedNew_ = TreeBytes(dir_ / "served");
  fs::create_directories(dir_ / "crash-served");
  crashServer_ = std::make_unique<NginxServer>(dir_ / "crash-served");
  client_ = Prepare("client", Old(), 1, false, crashServer_->BaseUrl());
}

std::pair<int, int> PowerCutBed::CutPublisher(CutPoint cut, int moreStates, Tally& tally) {
  auto mounted = MountCopy(dir_ / "before-publisher", cut);
  if (mounted == nullptr) return {0, 0};
  // syncfs, which the publisher makes the tree durable with, is reported
  // to the file system by the preloaded notice.
  std::vector<std::string> command = {"/usr/bin/env",
                                      std::string("LD_PRELOAD=") + SYNCFS_NOTICE_LIBRARY,
                                      PublishBinaryPath().string()};
  for (std::string& arg : PublishArgs(dir_ / "releases", dir_ / "mnt" / "served"))
    command.push_back(std::move(arg));
  const bool wasCut = RunOnFs(command, dir_.path(), *mounted);
  mounted->Unmount();
  const std::pair<int, int> counts{mounted->events(), mounted->changes()};
  if (cut.number == 0) {
    EXPECT_TRUE(TreeBytes(dir_ / "backing" / "served") == servedNew_)
        << "the build without a cut: " << ReadFileBytes(dir_ / "run-output.txt");
    return counts;
  }
  if (wasCut) {
    CheckCrashStates(*mounted, "cut " + cut.Describe(), moreStates, tally,
                     [&](const fs::path& crash) {
                       const auto served = TreeBytes(crash / "served");
                       if (served == servedOld_ || served == servedNew_)
                         return RebootPublisher(crash, served == servedNew_ ? kNewest : 1);
                       return "the served tree is neither the old one nor the new one: " +
                              Difference(served, servedNew_) + "; against release 1, " +
                              Difference(served, servedOld_);
                     });
  }
  return counts;
}

std::string PowerCutBed::RebootPublisher(const fs::path& crash, int servedVersion) {
  // A launcher against the tree served after the reboot ends with that
  // release.
  fs::remove_all(dir_ / "crash-served");
  fs::rename(crash / "served", dir_ / "crash-served");
  CopyTree(client_.root, dir_ / "client");
  RunWorker(dir_ / "client" / "launcher", false);
  fs::rename(dir_ / "crash-served", crash / "served");
  const Release& want = servedVersion == kNewest ? New() : Old();
  std::string fault = Difference(ReadTree(dir_ / "client" / "patcher", "server"), want);
  if (!fault.empty() || InstalledVersion(dir_ / "client") != servedVersion) {
    return "serving release " + std::to_string(servedVersion) + ", the launcher ended with " +
           (fault.empty() ? "version.sw " + std::to_string(InstalledVersion(dir_ / "client"))
                          : fault);
  }
  // The operator's next build completes.
  const ProcessResult next =
      RunProcess(PublishBinaryPath(), PublishArgs(dir_ / "releases", crash / "served"));
  if (next.status != 0) return "the next build failed: " + next.err;
  if (TreeBytes(crash / "served") != servedNew_) return "the next build served something else";
  return {};
}

}  // namespace launcher::testing
