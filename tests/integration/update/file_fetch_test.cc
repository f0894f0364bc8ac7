// The per-file machinery against a real HTTP server: installed-file check,
// fetch with retries and resume, digest check, staging, progress handlers.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "crypto/md5_digest.h"
#include "files/paths.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "support/engine_env.h"
#include "support/fault_server.h"
#include "support/release_server.h"
#include "update/directories.h"
#include "update/file_fetch.h"
#include "update/list_path.h"
#include "update/state_files.h"
#include "update/update_state.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::DisplayCall;
using testing::EngineEnv;
using testing::FaultServer;
using testing::ReadFileBytes;
using testing::ServerTree;
using testing::WriteFileBytes;

ListedFile Entry(const std::string& rel, const std::string& digest) {
  ListedFile file;
  file.operation = '+';
  file.listDigest = digest;
  file.expandedPath = EncodeListPath(rel);
  file.decodedPath = u"./" + Widen(rel);
  return file;
}

std::string Target(const std::string& rel) { return "/patcher/patcher/" + EncodeListPath(rel); }

// The request line and the range header of each recorded request.
std::vector<std::string> RequestLines(const FaultServer& server) {
  std::vector<std::string> lines;
  for (const std::string& raw : server.Requests()) {
    std::string line = raw.substr(0, raw.find("\r\n"));
    auto range = raw.find("Range: ");
    if (range != std::string::npos)
      line += " | " + raw.substr(range, raw.find("\r\n", range) - range);
    lines.push_back(line);
  }
  return lines;
}

class FileFetchTest : public ::testing::Test {
 protected:
  FileFetchTest() : tree_(env_.root() / "server") {}

  void Serve(std::string_view routes = "{\"routes\": {}}") {
    server_ = std::make_unique<FaultServer>(routes, tree_.root());
    env_.UseServer(server_->BaseUrl());
  }
  std::vector<std::u16string> Logs() const { return env_.LogLines(); }
  std::u16string Msg(int slot) const { return EngineEnv::Msg(slot); }

  EngineEnv env_;
  ServerTree tree_;
  std::unique_ptr<FaultServer> server_;
};

TEST_F(FileFetchTest, InstalledFileIsCurrentOnlyForItsExactLowerCaseDigest) {
  const std::string content = "installed content " + std::string(50000, 'x');
  WriteFileBytes(env_.Patcher("data/a.bin"), content);
  const std::string digest = tree_.AddFile("data/a.bin", content);
  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_NE(upper, digest);

  EXPECT_TRUE(IsInstalledFileCurrent(u"./data/a.bin", digest));
  EXPECT_FALSE(IsInstalledFileCurrent(u"./data/a.bin", upper));
  EXPECT_FALSE(IsInstalledFileCurrent(u"./data/missing.bin", digest));
  EXPECT_EQ(env_.display.Percents(DisplayCall::kFile), (std::vector<int>{0, 100, 0, 100}));

  fs::create_symlink(env_.Patcher("data/a.bin"), env_.Patcher("data/link.bin"));
  EXPECT_FALSE(IsInstalledFileCurrent(u"./data/link.bin", digest));
}

// The check of a large installed file moves the lower bar with the bytes
// read, from inside the one guarded section of the compression: a close
// asked for meanwhile lets the compression finish and ends the worker right
// after it, before the bar shows the end.
TEST_F(FileFetchTest, CheckOfALargeFileMovesTheBarFromInsideItsGuardedSection) {
  const std::string content = testing::NoiseBytes(1 << 20, 3);  // eight 128 KiB chunks
  WriteFileBytes(env_.Patcher("big.bin"), content);
  const std::string digest = tree_.AddFile("big.bin", content);
  EXPECT_TRUE(IsInstalledFileCurrent(u"./big.bin", digest));
  EXPECT_EQ(env_.display.Percents(DisplayCall::kFile),
            (std::vector<int>{0, 12, 25, 37, 50, 62, 75, 87, 100}));

  env_.display.Clear();
  env_.display.SetHook([&](const DisplayCall& call) {
    if (call.kind == DisplayCall::kFile && call.percent == 12) CancelRequested.store(1);
  });
  EXPECT_TRUE(testing::EndsCancelled([&] { IsInstalledFileCurrent(u"./big.bin", digest); }));
  EXPECT_EQ(env_.display.Percents(DisplayCall::kFile),
            (std::vector<int>{0, 12, 25, 37, 50, 62, 75, 87}));
  EXPECT_EQ(WorkInProgress.load(), 0);
}

TEST_F(FileFetchTest, FetchStagesTheFileAndKeepsTheResumeRecordCurrent) {
  const std::string content = testing::NoiseBytes(100000, 7);
  const std::string digest = tree_.AddFile("data/f.bin", content);
  Serve();
  ServerVersion = 42;
  EntriesDone = 3;
  std::vector<std::string> records;
  env_.display.SetHook([&](const DisplayCall& call) {
    if (call.kind == DisplayCall::kFile) records.push_back(ReadFileBytes(env_.Config("ustate.sw")));
  });

  CreateParentDirectories(TempDirPath + u"./data/f.bin");  // the caller's part
  ASSERT_TRUE(FetchListedFile(Entry("data/f.bin", digest), FetchVariant::kIncremental));
  EXPECT_EQ(FileOk, 1);
  EXPECT_EQ(BytesDone, 0);
  EXPECT_EQ(ReadFileBytes(env_.Config("temp/data/f.bin")), content);
  EXPECT_EQ(RequestLines(*server_),
            (std::vector<std::string>{"GET " + Target("data/f.bin") + " HTTP/1.1"}));
  EXPECT_EQ(Logs(), (std::vector<std::u16string>{Msg(MSG_LOG_FETCHING_FILE) + u"./data/f.bin"}));

  // Every progress event rewrote the record with the offset reached so far.
  ASSERT_FALSE(records.empty());
  const std::string compressed =
      ReadFileBytes(tree_.root() / "patcher" / "patcher" / EncodeListPath("data/f.bin").substr(2));
  bool sawOffset = false;
  for (const std::string& r : records) {
    UpdateStateRecord rec = ParseUpdateState(r);
    if (rec.bytesDone == 0) continue;
    sawOffset = true;
    EXPECT_EQ(rec.stateVersion, 42);
    EXPECT_EQ(rec.entriesDone, 3);
    EXPECT_EQ(rec.totalBytes, static_cast<std::int64_t>(compressed.size()));
    EXPECT_LE(rec.bytesDone, rec.totalBytes);
  }
  EXPECT_TRUE(sawOffset);
  auto percents = env_.display.Percents(DisplayCall::kFile);
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(percents.back(), 100);
}

// Timing runs on the simulated clock, started just before the tick count
// wraps, so the differences must be taken modulo 2^32.
TEST_F(FileFetchTest, MissingFileGetsTwoAttemptsTenSecondsApartThenIsGivenUp) {
  testing::FakeClock wrapping(0xFFFFF000u);
  testing::ScopedEngineClock useIt(&wrapping);
  Serve();  // nothing is published: every request is a 404
  std::vector<std::uint32_t> requestTimes;
  env_.display.SetHook([&](const DisplayCall& call) {
    if (call.kind == DisplayCall::kFile && call.percent == 100)
      requestTimes.push_back(wrapping.TickCount());
  });

  EXPECT_FALSE(
      FetchListedFile(Entry("gone.bin", std::string(32, 'a')), FetchVariant::kIncremental));
  EXPECT_EQ(FileOk, 0);
  ASSERT_EQ(server_->Requests().size(), 2u);
  ASSERT_EQ(requestTimes.size(), 2u);
  EXPECT_EQ(static_cast<std::uint32_t>(requestTimes[1] - requestTimes[0]), 10200u);
  EXPECT_EQ(wrapping.TotalSleptMs(), 20400u) << "given up when the second pause ends";
  const std::u16string name = u"./gone.bin";
  EXPECT_EQ(Logs(), (std::vector<std::u16string>{
                        Msg(MSG_LOG_FETCHING_FILE) + name, Msg(MSG_LOG_FILE_NEEDS_FETCH),
                        Msg(MSG_LOG_FETCHING_FILE) + name, Msg(MSG_LOG_FILE_NEEDS_FETCH)}));
}

TEST_F(FileFetchTest, BrokenOrWrongTransferIsFetchedAgainFromTheFirstByte) {
  const std::string content = testing::NoiseBytes(60000, 3);
  const std::string digest = tree_.AddFile("b.bin", content);
  Serve(R"({"routes": {")" + Target("b.bin") +
        R"(": {"body_size": 60000, "close_after": 30000}}})");
  EXPECT_FALSE(FetchListedFile(Entry("b.bin", digest), FetchVariant::kIncremental));
  auto lines = RequestLines(*server_);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "GET " + Target("b.bin") + " HTTP/1.1") << "no range after a failed digest";
  EXPECT_FALSE(fs::exists(env_.Config("temp/b.bin")));
}

TEST_F(FileFetchTest, FailedTransferResumesAtItsOffsetAndLogsTheErrorCode) {
  tree_.AddFile("r.bin", testing::NoiseBytes(20000, 4));
  Serve();
  fs::create_directories(env_.Config("tempfile.dat"));  // cannot be opened for update
  BytesDone = 5000;
  Resuming = 1;
  EXPECT_FALSE(FetchListedFile(Entry("r.bin", std::string(32, 'b')), FetchVariant::kIncremental));
  auto lines = RequestLines(*server_);
  ASSERT_EQ(lines.size(), 2u);
  for (const std::string& line : lines)
    EXPECT_NE(line.find("Range: bytes=5000-"), std::string::npos);
  EXPECT_EQ(BytesDone, 5000);
  const std::u16string name = u"./r.bin";
  EXPECT_EQ(Logs(), (std::vector<std::u16string>{
                        Msg(MSG_LOG_RESUMING_FILE) + name, Msg(MSG_DOWNLOAD_ERROR_4),
                        Msg(MSG_LOG_FILE_NEEDS_FETCH), Msg(MSG_LOG_RESUMING_FILE) + name,
                        Msg(MSG_DOWNLOAD_ERROR_4), Msg(MSG_LOG_FILE_NEEDS_FETCH)}));
}

// The digest of a download is taken while its bytes arrive, a resumed
// file's prefix included: a transfer resumed from the bytes a stopped run
// left, and one the server restarts at byte 0, both pass on that digest
// (the file bar goes from 0 straight to 100 after the transfer: no second
// read) and are staged after one request.
TEST_F(FileFetchTest, ResumedOrRestartedTransferPassesOnTheDigestTakenAsItArrived) {
  // Past the size from which the digest runs beside the transfer.
  const std::string content = testing::NoiseBytes(1536 * 1024, 11);
  const std::string digest = tree_.AddFile("s.bin", content);
  const fs::path served = tree_.root() / "patcher" / "patcher" / EncodeListPath("s.bin").substr(2);
  const std::string compressed = ReadFileBytes(served);
  for (const bool ignoreRange : {false, true}) {
    SCOPED_TRACE(ignoreRange ? "range ignored" : "range honoured");
    if (ignoreRange) {
      Serve(R"({"routes": {")" + Target("s.bin") + R"(": {"body_file": ")" + served.string() +
            R"(", "ranges": "ignore"}}})");
    } else {
      Serve();
    }
    env_.display.Clear();
    fs::remove_all(env_.Config("temp"));
    CreateParentDirectories(TempDirPath + u"./s.bin");
    // What a killed run leaves: the first 40000 bytes (or garbage, which a
    // restarted body must not keep), the rest of the reserved length zeros.
    const std::string prefix = ignoreRange ? std::string(40000, '?') : compressed.substr(0, 40000);
    WriteFileBytes(env_.Config("tempfile.dat"),
                   prefix + std::string(compressed.size() - prefix.size(), '\0'));
    BytesDone = 40000;
    TotalBytes = static_cast<std::int64_t>(compressed.size());
    Resuming = 1;

    ASSERT_TRUE(FetchListedFile(Entry("s.bin", digest), FetchVariant::kIncremental));
    EXPECT_EQ(server_->Requests().size(), 1u);
    EXPECT_EQ(ReadFileBytes(env_.Config("temp/s.bin")), content);
    const auto percents = env_.display.Percents(DisplayCall::kFile);
    ASSERT_GE(percents.size(), 3u);
    EXPECT_EQ(std::vector<int>(percents.end() - 3, percents.end()), (std::vector<int>{100, 0, 100}))
        << "the transfer's end, then the check without reading the file";
  }
}

// The copy decompressed while the bytes arrive takes its listed name only
// once the digest has matched: a whole, valid frame under a wrong digest
// leaves nothing in the staging tree, not even the unfinished copy.
TEST_F(FileFetchTest, CopyOfATransferWithAWrongDigestIsNeverStaged) {
  tree_.AddFile("w.bin", testing::NoiseBytes(1536 * 1024, 12));
  Serve();
  CreateParentDirectories(TempDirPath + u"./w.bin");
  EXPECT_FALSE(FetchListedFile(Entry("w.bin", std::string(32, 'c')), FetchVariant::kIncremental));
  EXPECT_EQ(server_->Requests().size(), 2u);
  EXPECT_TRUE(fs::is_empty(env_.Config("temp")));
}

TEST_F(FileFetchTest, FileThatDoesNotDecompressIsReported) {
  const std::string garbage = "these bytes are no compressed frame";
  Serve(R"({"routes": {")" + Target("d.bin") + R"(": {"body": ")" + garbage + R"("}}})");
  EXPECT_FALSE(FetchListedFile(Entry("d.bin", Md5Hex(garbage)), FetchVariant::kIncremental));
  auto status = env_.display.Texts(DisplayCall::kStatus);
  EXPECT_EQ(std::count(status.begin(), status.end(), Msg(MSG_DECOMPRESS_FAILED)), 2);
  auto logs = Logs();
  EXPECT_EQ(std::count(logs.begin(), logs.end(), Msg(MSG_DECOMPRESS_FAILED)), 2);
  EXPECT_FALSE(fs::exists(env_.Config("temp/d.bin")));
}

TEST_F(FileFetchTest, FullListVariantStagesUnderCheckAndMarksEveryAttempt) {
  const std::string content = "full list file";
  const std::string digest = tree_.AddFile("sub/c.txt", content);
  Serve();
  int mark = 0;
  ASSERT_TRUE(FetchListedFile(Entry("sub/c.txt", digest), FetchVariant::kFullList, &mark));
  EXPECT_EQ(mark, 1);
  EXPECT_EQ(ReadFileBytes(env_.Config("Check/sub/c.txt")), content);
  EXPECT_FALSE(fs::exists(env_.Config("ustate.sw")))
      << "the full-list fetch keeps no resume record";
  EXPECT_EQ(Logs(), (std::vector<std::u16string>{Msg(MSG_LOG_FILE_NEEDS_FETCH),
                                                 Msg(MSG_LOG_DOWNLOADING_FILE) + u"./sub/c.txt"}));

  mark = 0;
  EXPECT_FALSE(
      FetchListedFile(Entry("sub/none.txt", std::string(32, 'e')), FetchVariant::kFullList, &mark));
  EXPECT_EQ(mark, 1) << "marked although every attempt failed";
}

TEST_F(FileFetchTest, ClosingDuringThePauseEndsTheWorkerWithin200Ms) {
  struct CancellingClock : testing::FakeClock {
    void Sleep(std::uint32_t ms) override {
      FakeClock::Sleep(ms);
      if (SleepCount() == 3) CancelRequested.store(1);
    }
  } clock;
  testing::ScopedEngineClock useIt(&clock);
  Serve();
  EXPECT_TRUE(testing::EndsCancelled(
      [&] { FetchListedFile(Entry("x.bin", std::string(32, 'c')), FetchVariant::kIncremental); }));
  EXPECT_EQ(clock.TotalSleptMs(), 600u);
  EXPECT_EQ(server_->Requests().size(), 1u);
}

TEST_F(FileFetchTest, DownloadErrorCodesPickTheirMessages) {
  const std::pair<int, int> cases[] = {
      {1, MSG_DOWNLOAD_ERROR_1}, {5, MSG_DOWNLOAD_ERROR_5},     {6, MSG_DOWNLOAD_ERROR_6},
      {7, MSG_DOWNLOAD_ERROR_7}, {9, MSG_DOWNLOAD_ERROR_OTHER}, {0, MSG_DOWNLOAD_ERROR_OTHER}};
  std::vector<std::u16string> expected;
  for (auto [detail, slot] : cases) {
    Transfer transfer;
    transfer.state = TRANSFER_ERROR_CODE;
    transfer.errorDetail = detail;
    DownloadFinished = true;
    FullListProgress(DOWNLOAD_FAILED, transfer);
    EXPECT_FALSE(DownloadFinished);
    expected.push_back(Msg(slot));
  }
  EXPECT_EQ(Logs(), expected);
}

}  // namespace
}  // namespace launcher
