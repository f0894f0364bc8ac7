// The incremental update end to end: trees built by launcher-publish from
// release snapshots, served by a real nginx on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "files/paths.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "support/engine_env.h"
#include "support/nginx_server.h"
#include "support/publish_fixture.h"
#include "support/release_server.h"
#include "update/fetch_ahead.h"
#include "update/incremental_update.h"
#include "update/list_path.h"
#include "update/state_files.h"
#include "update/update_state.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::DisplayCall;
using testing::EngineEnv;
using testing::NginxServer;
using testing::ReadFileBytes;
using testing::Release;

std::size_t CountContaining(const std::vector<std::string>& lines, std::string_view part) {
  std::size_t n = 0;
  for (const auto& line : lines) {
    if (line.find(part) != std::string::npos) ++n;
  }
  return n;
}

// Request lines of the access log that fetch a patcher file.
std::vector<std::string> FileRequests(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const auto& line : lines) {
    if (line.rfind("GET /patcher/patcher/", 0) == 0) out.push_back(line);
  }
  return out;
}

class IncrementalUpdateTest : public ::testing::Test {
 protected:
  IncrementalUpdateTest() : releases_(env_.root() / "releases"), served_(env_.root() / "served") {}

  void Publish(int version, const Release& files) {
    testing::WriteRelease(releases_, version, files);
    testing::BuildTestServerTree(releases_, served_);
  }
  void StartServer() {
    nginx_ = std::make_unique<NginxServer>(served_);
    env_.UseServer(nginx_->BaseUrl());
  }
  void Install(const Release& files) {
    testing::WriteTree(env_.Patcher(), files);
    testing::WriteFileBytes(env_.Patcher("server/pid.ini"), "[Version]\npid=1\n");
  }
  int Run(int local, int server) {
    env_.NewRun();
    LocalVersion = local;
    ServerVersion = server;
    return RunIncrementalUpdate();
  }
  Release Installed() const { return testing::ReadTree(env_.Patcher(), "server"); }
  std::vector<std::string> Access() const { return testing::SettledAccessLog(*nginx_); }
  // Decoded paths of the entries of the kept list, in order.
  std::vector<std::u16string> KeptListPaths() {
    std::vector<std::u16string> paths;
    std::string text = ReadFileBytes(env_.Config("inc.sw"));
    std::size_t start = 0;
    const std::string saved = CurrentListDir;
    CurrentListDir.clear();
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      std::string line = text.substr(start, end - start);
      start = end + 1;
      if (line.rfind("-----BEGIN", 0) == 0) break;
      if (line.empty() || line[0] == '#') continue;
      std::string token = line.substr(line.find(' ') + 1);
      paths.push_back(DecodeListPath(token).path);
    }
    CurrentListDir = saved;
    return paths;
  }

  EngineEnv env_;
  fs::path releases_;
  fs::path served_;
  std::unique_ptr<NginxServer> nginx_;
};

Release Release90() {
  return {{"patcher.exe", "patcher 90"},
          {"data/main.pak", testing::NoiseBytes(70000, 90)},
          {"data/same.txt", "unchanged across versions"},
          {"data/readonly.cfg", "old settings"},
          {"old/deep/gone.txt", "removed in 101"},
          {"old/deep/gone2.txt", "also removed"},
          {"keep/a.txt", "a"}};
}

Release Release100() {
  Release r = Release90();
  r["data/main.pak"] = testing::NoiseBytes(70000, 100);
  r["keep/b.txt"] = "b since 100";
  return r;
}

Release Release101() {
  Release r = Release100();
  r["patcher.exe"] = "patcher 101";
  r["data/readonly.cfg"] = "new settings";
  r.erase("old/deep/gone.txt");
  r.erase("old/deep/gone2.txt");
  r["new/dir/added.bin"] = testing::NoiseBytes(30000, 101);
  r["name with space.txt"] = "spaces survive";
  return r;
}

TEST_F(IncrementalUpdateTest, NinetyToHundredAndOneUsesV12AndMatchesTheRelease) {
  Publish(89, Release90());
  Publish(90, Release90());
  Publish(100, Release100());
  Publish(101, Release101());
  Install(Release90());
  fs::permissions(env_.Patcher("data/readonly.cfg"), fs::perms::owner_read);
  // What a run killed just after an install, before the removal of the
  // directory it emptied, leaves behind: it goes with this run too.
  fs::create_directories(env_.Config("temp/keep/emptied"));
  StartServer();

  EXPECT_EQ(Run(90, 101), 1);
  EXPECT_EQ(Installed(), Release101());
  EXPECT_FALSE(fs::exists(env_.Patcher("old"))) << "emptied directories are removed";
  EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "101\r\n");
  EXPECT_FALSE(fs::exists(env_.Config("inc.sw")));
  EXPECT_FALSE(fs::exists(env_.Config("ustate.sw")));
  EXPECT_FALSE(fs::exists(env_.Config("temp")));
  EXPECT_TRUE(fs::exists(env_.Patcher("server/pid.ini")));

  auto access = Access();
  ASSERT_FALSE(access.empty());
  EXPECT_EQ(access[0].substr(0, access[0].find('\t')), "GET /patcher/v-12.inc HTTP/1.1");
  // Only files whose installed copy differs are downloaded.
  std::size_t differing = 0;
  const Release old90 = Release90();
  for (const auto& [path, content] : Release101()) {
    auto old = old90.find(path);
    if (old == old90.end() || old->second != content) ++differing;
  }
  EXPECT_EQ(FileRequests(access).size(), differing);
  auto logs = env_.LogLines();
  EXPECT_NE(std::find(logs.begin(), logs.end(),
                      EngineEnv::Msg(MSG_LOG_FILE_ALREADY_FETCHED) + u"./data/same.txt"),
            logs.end());
  EXPECT_NE(std::find(logs.begin(), logs.end(),
                      EngineEnv::Msg(MSG_LOG_DELETING_FILE) + u"./old/deep/gone.txt"),
            logs.end());
  auto totals = env_.display.Percents(DisplayCall::kTotal);
  ASSERT_FALSE(totals.empty());
  EXPECT_EQ(totals.back(), 100);
  EXPECT_EQ(env_.display.Texts(DisplayCall::kDetail).back(), u"");
}

TEST_F(IncrementalUpdateTest, HundredToHundredAndOneUsesV1) {
  Publish(100, Release100());
  Publish(101, Release101());
  Install(Release100());
  StartServer();
  EXPECT_EQ(Run(100, 101), 1);
  EXPECT_EQ(Installed(), Release101());
  auto access = Access();
  ASSERT_FALSE(access.empty());
  EXPECT_EQ(access[0].substr(0, access[0].find('\t')), "GET /patcher/v-1.inc HTTP/1.1");
}

// 40 changed files; the worker is stopped in the middle of the 18th. The
// pass fetches each file itself here, as it does a file too large to be
// fetched ahead: the resume at the byte is that transfer's.
class ResumeTest : public IncrementalUpdateTest {
 protected:
  ResumeTest() { SetFetchAheadForTesting(false); }
  ~ResumeTest() override { SetFetchAheadForTesting(true); }
  static Release Base() {
    Release r;
    for (int i = 0; i < 40; ++i)
      r["files/f" + std::to_string(100 + i)] = "old " + std::to_string(i);
    return r;
  }
  static Release Changed(unsigned seed) {
    Release r;
    for (int i = 0; i < 40; ++i) {
      r["files/f" + std::to_string(100 + i)] =
          testing::NoiseBytes(200000, seed + static_cast<unsigned>(i));
    }
    return r;
  }
  // Runs until a progress event of the 18th entry has passed 65536 bytes.
  void RunAndStopInEighteenth() {
    env_.display.SetHook([](const DisplayCall& call) {
      if (call.kind == DisplayCall::kFile && EntriesDone == 17 && BytesDone >= 65536) {
        CancelRequested.store(1);
      }
    });
    EXPECT_TRUE(testing::EndsCancelled([&] { Run(100, 101); }));
    env_.display.SetHook({});
  }
};

TEST_F(ResumeTest, StoppedRunResumesAtTheRecordedEntryAndByte) {
  Publish(100, Base());
  Publish(101, Changed(1000));
  Install(Base());
  StartServer();
  RunAndStopInEighteenth();

  UpdateStateRecord record;
  ASSERT_TRUE(ReadUpdateState(UpdateStateFilePath, record));
  EXPECT_EQ(record.stateVersion, 101);
  EXPECT_EQ(record.entriesDone, 17);
  EXPECT_GE(record.bytesDone, 65536);
  EXPECT_LT(record.bytesDone, record.totalBytes);
  const std::vector<std::u16string> paths = KeptListPaths();
  ASSERT_EQ(paths.size(), 40u);
  const std::u16string eighteenth = paths[17];
  const std::size_t requestsBefore = Access().size();
  env_.display.Clear();

  // A new process: nothing in memory but the versions.
  EXPECT_EQ(Run(100, 101), 1);
  EXPECT_EQ(Installed(), Changed(1000));
  auto access = Access();
  std::vector<std::string> again(access.begin() + static_cast<long>(requestsBefore), access.end());
  EXPECT_EQ(CountContaining(again, ".inc"), 0u) << "the kept list is used again";
  ASSERT_EQ(FileRequests(again).size(), 23u) << "17 entries are skipped";
  // The patch index is asked before the transfer resumes, as a fresh fetch
  // of the entry asks it: the later entries, whose installed copies are out
  // of date, can then be fetched ahead while the rest of this one comes.
  ASSERT_GE(again.size(), 2u);
  EXPECT_EQ(again[0].substr(0, again[0].find('\t')), "GET /patcher/delta.idx HTTP/1.1");
  const std::string range = "\tbytes=" + std::to_string(record.bytesDone) + "-\t206\t";
  EXPECT_NE(again[1].find(range), std::string::npos) << again[1];
  auto logs = env_.LogLines();
  EXPECT_NE(std::find(logs.begin(), logs.end(), EngineEnv::Msg(MSG_LOG_RESUMING_FILE) + eighteenth),
            logs.end());
  // The file bar: 0 and 100 for the check of the installed copy, then the
  // resumed transfer continues against the length recorded before the stop.
  auto files = env_.display.Percents(DisplayCall::kFile);
  ASSERT_GE(files.size(), 3u);
  EXPECT_EQ(files[0], 0);
  EXPECT_EQ(files[1], 100);
  EXPECT_GE(files[2], static_cast<int>(record.bytesDone * 100 / record.totalBytes));
  EXPECT_LT(files[2], 100);
}

TEST_F(ResumeTest, NewerServerVersionStartsAgainWithItsOwnList) {
  Publish(100, Base());
  Publish(101, Changed(1000));
  Install(Base());
  StartServer();
  RunAndStopInEighteenth();
  Publish(102, Changed(2000));
  const std::size_t requestsBefore = Access().size();

  EXPECT_EQ(Run(100, 102), 1);
  EXPECT_EQ(Installed(), Changed(2000));
  auto access = Access();
  std::vector<std::string> again(access.begin() + static_cast<long>(requestsBefore), access.end());
  ASSERT_FALSE(again.empty());
  EXPECT_EQ(again[0].substr(0, again[0].find('\t')), "GET /patcher/v-2.inc HTTP/1.1");
  EXPECT_EQ(FileRequests(again).size(), 40u);
  EXPECT_EQ(CountContaining(again, "\tbytes="), 0u) << "nothing resumes from the old list";
  auto logs = env_.LogLines();
  for (const auto& line : logs)
    EXPECT_EQ(line.rfind(EngineEnv::Msg(MSG_LOG_RESUMING_FILE), 0), std::u16string::npos);
}

}  // namespace
}  // namespace launcher
