// The downloader against the fault-injecting server: request bytes, status
// and redirect rules, error codes, events and what the target file holds
// after each outcome.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <stdexcept>

#include "download_recorder.h"
#include "net/downloader.h"
#include "seam/cancel.h"
#include "support/fault_server.h"
#include "support/temp_dir.h"

namespace launcher::testing {
namespace {

class DownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearProxyEnvironment(); }

  std::string Host(const FaultServer& server) {
    return "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
  }

  TempDir dir_;
  std::filesystem::path target_ = dir_ / "tempfile.dat";
  DownloadRecorder rec_{target_};
  Downloader downloader_;
};

TEST_F(DownloaderTest, SendsExactRequestBytes) {
  FaultServer server(R"({"routes": {"/dir/./f.bin": {"body_size": 10000}}})");
  rec_.Fetch(downloader_, server.Url("/dir/./f.bin"));
  rec_.Fetch(downloader_, server.Url("/dir/./f.bin"), 4096);
  rec_.Fetch(downloader_, server.Url("/dir/./f.bin"), -7);

  const std::string head = "GET /dir/./f.bin HTTP/1.1\r\n" + Host(server) +
                           "User-Agent: LiveUpdate Application\r\nAccept: */*\r\n";
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0], head + "Pragma: no-cache\r\n\r\n");
  EXPECT_EQ(requests[1], head + "Range: bytes=4096-\r\nPragma: no-cache\r\n\r\n");
  EXPECT_EQ(requests[2], requests[0]) << "a negative offset is a fresh download";
  EXPECT_EQ(ReadFileBytes(target_), FaultServer::PatternBytes(0, 10000));
}

TEST_F(DownloaderTest, FreshDownloadPresizesAndReportsProgressOncePer12K) {
  FaultServer server(R"({"routes": {"/f": {"body_size": 12288}}})");
  rec_.Fetch(downloader_, server.Url("/f"));

  ASSERT_EQ(rec_.Codes(), (std::vector<int>{DOWNLOAD_STARTED, DOWNLOAD_PROGRESS, DOWNLOAD_DONE}));
  const auto& started = rec_.events[0];
  EXPECT_EQ(started.contentLength, 12288);
  EXPECT_EQ(started.fileAtEvent, std::string(12288, '\0')) << "sized before the body";
  const auto& progress = rec_.events[1];
  EXPECT_GT(progress.offset, 8192);
  EXPECT_EQ(progress.fileAtEvent.substr(0, static_cast<size_t>(progress.offset)),
            FaultServer::PatternBytes(0, static_cast<uint64_t>(progress.offset)))
      << "what an event reports is already in the file";
  EXPECT_EQ(rec_.Last().state, TRANSFER_DONE);
  EXPECT_EQ(rec_.Last().offset, 12288);
  EXPECT_EQ(ReadFileBytes(target_), FaultServer::PatternBytes(0, 12288));

  // A larger body: one event per more-than-8192 bytes, never fewer than
  // the data allows, never more.
  server.Configure(R"({"routes": {"/big": {"body_size": 1000000}}})");
  DownloadRecorder big(dir_ / "big");
  big.Fetch(downloader_, server.Url("/big"));
  int progress_events = 0;
  std::int64_t previous = 0;
  for (const auto& e : big.events) {
    if (e.event != DOWNLOAD_PROGRESS) continue;
    ++progress_events;
    EXPECT_GT(e.offset - previous, 8192);
    EXPECT_LE(e.offset - previous, 8192 + 4096);
    previous = e.offset;
  }
  EXPECT_GE(progress_events, 1000000 / (8192 + 4096));
  EXPECT_EQ(ReadFileBytes(dir_ / "big"), FaultServer::PatternBytes(0, 1000000));
}

TEST_F(DownloaderTest, AcceptsStatusesUpTo206AndRefusesTheRest) {
  FaultServer server(R"({"routes": {
      "/204": {"status": 204, "content_length": false},
      "/201": {"status": 201, "body": "created"},
      "/206": {"status": 206, "body": "partial"}}})");
  rec_.Fetch(downloader_, server.Url("/204"));
  EXPECT_EQ(rec_.Codes(), (std::vector<int>{DOWNLOAD_STARTED, DOWNLOAD_DONE}));
  EXPECT_EQ(rec_.Last().state, TRANSFER_DONE);
  EXPECT_TRUE(std::filesystem::exists(target_));
  rec_.Fetch(downloader_, server.Url("/201"));
  EXPECT_EQ(ReadFileBytes(target_), "created");
  rec_.Fetch(downloader_, server.Url("/206"));
  EXPECT_EQ(ReadFileBytes(target_), "partial");

  for (int status : {300, 304, 307, 404, 416, 500}) {
    server.Configure(R"({"routes": {"/x": {"status": )" + std::to_string(status) +
                     R"(, "body": "error page"}}})");
    std::filesystem::remove(target_);
    DownloadRecorder rec(target_);
    rec.Fetch(downloader_, server.Url("/x"));
    ASSERT_EQ(rec.Codes(), std::vector<int>{DOWNLOAD_DONE}) << status;
    EXPECT_EQ(rec.Last().state, TRANSFER_HTTP_ERROR);
    EXPECT_EQ(rec.Last().errorDetail, status);
    EXPECT_FALSE(std::filesystem::exists(target_)) << status;
  }
}

TEST_F(DownloaderTest, FollowsOneRedirectAndSendsTheRangeAgain) {
  FaultServer server(R"({"routes": {
      "/old": {"status": 302, "location": "{base}/new/./f"},
      "/new/./f": {"body_size": 9000},
      "/loop1": {"status": 301, "location": "{base}/loop2"},
      "/loop2": {"status": 303, "location": "{base}/new/./f"}}})");
  rec_.Fetch(downloader_, server.Url("/old"));
  EXPECT_EQ(rec_.Last().state, TRANSFER_DONE);
  EXPECT_EQ(ReadFileBytes(target_), FaultServer::PatternBytes(0, 9000));

  server.ClearRequests();
  WriteFileBytes(target_, FaultServer::PatternBytes(0, 3000) + std::string(6000, 'x'));
  DownloadRecorder resumed(target_);
  resumed.Fetch(downloader_, server.Url("/old"), 3000);
  EXPECT_EQ(resumed.Codes().back(), DOWNLOAD_DONE);
  EXPECT_EQ(ReadFileBytes(target_), FaultServer::PatternBytes(0, 9000));
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[0].find("Range: bytes=3000-\r\n"), std::string::npos);
  EXPECT_EQ(requests[1].rfind("GET /new/./f HTTP/1.1\r\n", 0), 0u);
  EXPECT_NE(requests[1].find("Range: bytes=3000-\r\n"), std::string::npos);

  std::filesystem::remove(target_);
  DownloadRecorder twice(target_);
  twice.Fetch(downloader_, server.Url("/loop1"));
  EXPECT_EQ(twice.Codes(), std::vector<int>{DOWNLOAD_DONE});
  EXPECT_EQ(twice.Last().state, TRANSFER_HTTP_ERROR);
  EXPECT_EQ(twice.Last().errorDetail, 303) << "a second redirect is not followed";
  EXPECT_FALSE(std::filesystem::exists(target_));
}

TEST_F(DownloaderTest, RedirectTargetComesFromTheLocationHeaderOnly) {
  FaultServer server(R"({"routes": {
      "/content-first": {"status": 302, "raw_headers": "Content-Location: {base}/wrong\r\n",
                         "location": "{base}/right"},
      "/lower": {"status": 302, "raw_headers": "location: {base}/right\r\n"},
      "/right": {"body": "right"},
      "/wrong": {"body": "wrong"},
      "/none": {"status": 301, "raw_headers": "Content-Location: {base}/wrong\r\n"},
      "/relative": {"status": 302, "location": "/right"},
      "/control": {"status": 302, "location": "{base}/right\rX-Injected: 1"},
      "/ftp": {"status": 302, "location": "ftp://127.0.0.1/right"}}})");
  for (const char* path : {"/content-first", "/lower"}) {
    rec_.Fetch(downloader_, server.Url(path));
    EXPECT_EQ(rec_.Last().state, TRANSFER_DONE) << path;
    EXPECT_EQ(ReadFileBytes(target_), "right") << path;
  }

  WriteFileBytes(target_, "keep me");
  struct Case {
    const char* path;
    int code;
  };
  for (Case c : {Case{"/none", PATCH::NO_LOCATION}, Case{"/relative", PATCH::BAD_URL},
                 Case{"/control", PATCH::NO_LOCATION}, Case{"/ftp", PATCH::BAD_URL}}) {
    DownloadRecorder rec(target_);
    rec.Fetch(downloader_, server.Url(c.path));
    ASSERT_EQ(rec.Codes(), std::vector<int>{DOWNLOAD_FAILED}) << c.path;
    EXPECT_EQ(rec.Last().state, TRANSFER_ERROR_CODE);
    EXPECT_EQ(rec.Last().errorDetail, c.code) << c.path;
    EXPECT_EQ(ReadFileBytes(target_), "keep me") << c.path;
  }
}

TEST_F(DownloaderTest, ServerIgnoringTheRangeRestartsFromTheFirstByte) {
  FaultServer server(R"({"routes": {"/f": {"body_size": 20000, "ranges": "ignore"}}})");
  WriteFileBytes(target_, FaultServer::PatternBytes(0, 5000) + std::string(15000, '?'));
  rec_.Fetch(downloader_, server.Url("/f"), 5000);
  ASSERT_FALSE(rec_.events.empty());
  EXPECT_EQ(rec_.events.front().event, DOWNLOAD_STARTED);
  EXPECT_EQ(rec_.events.front().contentLength, 20000);
  EXPECT_EQ(rec_.Last().event, DOWNLOAD_DONE);
  EXPECT_EQ(rec_.Last().state, TRANSFER_DONE);
  EXPECT_EQ(rec_.Last().offset, 20000);
  EXPECT_EQ(ReadFileBytes(target_), FaultServer::PatternBytes(0, 20000));
}

TEST_F(DownloaderTest, BrokenConnectionLeavesWhatWasWritten) {
  FaultServer server(R"({"routes": {"/f": {"body_size": 50000, "close_after": 30000}}})");
  rec_.Fetch(downloader_, server.Url("/f"));
  EXPECT_EQ(rec_.Last().event, DOWNLOAD_DONE);
  EXPECT_EQ(rec_.Last().state, TRANSFER_HTTP_ERROR);
  EXPECT_EQ(rec_.Last().errorDetail, 18);  // CURLE_PARTIAL_FILE
  EXPECT_EQ(rec_.Last().offset, 30000);
  const std::string file = ReadFileBytes(target_);
  ASSERT_EQ(file.size(), 50000u);
  EXPECT_EQ(file.substr(0, 30000), FaultServer::PatternBytes(0, 30000));
  EXPECT_EQ(file.substr(30000), std::string(20000, '\0'));

  // The next attempt resumes where the data stops.
  server.Configure(R"({"routes": {"/f": {"body_size": 50000}}})");
  DownloadRecorder resumed(target_);
  resumed.Fetch(downloader_, server.Url("/f"), 30000);
  EXPECT_EQ(resumed.Last().state, TRANSFER_DONE);
  EXPECT_EQ(ReadFileBytes(target_), FaultServer::PatternBytes(0, 50000));
}

// The sink's bytes are the file's first bytes in order, whichever way the
// file was written: so they are all of it exactly when their count is the
// file's size.
TEST_F(DownloaderTest, BodySinkSeesTheTargetsContentInFileOrder) {
  FaultServer server(R"({"routes": {"/f": {"body_size": 50000, "close_after": 30000},
                                    "/all": {"body_size": 50000},
                                    "/whole": {"body_size": 20000, "ranges": "ignore"}}})");
  RecordingSink fresh;
  rec_.Fetch(downloader_, server.Url("/f"), 0, &fresh);
  EXPECT_EQ(fresh.bytes, FaultServer::PatternBytes(0, 30000)) << "no reserved tail";
  EXPECT_EQ(ReadFileBytes(target_).size(), 50000u);

  // Resumed (as after a kill): the prefix on disk is read back once, then
  // the rest of the body follows it.
  RecordingSink resumed;
  rec_.Fetch(downloader_, server.Url("/all"), 30000, &resumed);
  EXPECT_EQ(resumed.restarts, 1);
  EXPECT_EQ(resumed.bytes, FaultServer::PatternBytes(0, 50000));
  EXPECT_EQ(resumed.bytes, ReadFileBytes(target_));

  // A server that ignores the range: the content starts again at byte 0,
  // the old prefix is not part of it.
  WriteFileBytes(target_, std::string(5000, '?'));
  RecordingSink restarted;
  rec_.Fetch(downloader_, server.Url("/whole"), 5000, &restarted);
  EXPECT_EQ(restarted.bytes, FaultServer::PatternBytes(0, 20000));
  EXPECT_EQ(restarted.bytes, ReadFileBytes(target_));

  // A prefix that is not on disk (the file is shorter than the offset) is
  // never made up: the transfer fails before any data.
  WriteFileBytes(target_, "");
  RecordingSink missing;
  rec_.Fetch(downloader_, server.Url("/all"), 10, &missing);
  EXPECT_EQ(rec_.Last().errorDetail, PATCH::DATA_OVERRUN);
  EXPECT_EQ(ReadFileBytes(target_), "");
  EXPECT_TRUE(missing.bytes.empty());
}

// A resumed target holds received bytes up to the offset and, past it, at
// most a reserved tail that never arrived. The tail goes before the request,
// whatever the answer, so no later digest reads bytes nobody sent.
TEST_F(DownloaderTest, ResumeDropsTheTailThatNeverArrivedAndFailsPastTheEnd) {
  FaultServer server(R"({"routes": {"/f": {"body_size": 20000}, "/refused": {"status": 500}}})");
  const std::string received = FaultServer::PatternBytes(0, 1000);
  WriteFileBytes(target_, received + std::string(9000, 'x'));
  rec_.Fetch(downloader_, server.Url("/refused"), 1000);
  EXPECT_EQ(rec_.Last().state, TRANSFER_HTTP_ERROR);
  EXPECT_EQ(ReadFileBytes(target_), received);

  WriteFileBytes(target_, received + std::string(9000, 'x'));
  rec_.Fetch(downloader_, server.Url("/f"), 1000);
  EXPECT_EQ(rec_.Last().state, TRANSFER_DONE);
  EXPECT_EQ(ReadFileBytes(target_), FaultServer::PatternBytes(0, 20000));

  // A resume offset past the local file's end fails before any data.
  WriteFileBytes(target_, "short");
  DownloadRecorder past(target_);
  past.Fetch(downloader_, server.Url("/f"), 50);
  EXPECT_EQ(past.Codes(), std::vector<int>{DOWNLOAD_FAILED});
  EXPECT_EQ(past.Last().errorDetail, PATCH::DATA_OVERRUN);
  EXPECT_EQ(ReadFileBytes(target_), "short");
}

TEST_F(DownloaderTest, BodyEndsAtItsAnnouncedLength) {
  // A connection kept open after the body (a proxy, a keep-alive server)
  // does not hold the transfer until the receive time-out, and bytes after
  // the announced length are not part of the body.
  Downloader::Options quick;
  quick.receiveTimeoutMs = 1000;
  Downloader impatient(quick);
  FaultServer server(R"({"routes": {
      "/open": {"body_size": 30000, "hold_open_ms": 20000},
      "/long": {"body_size": 10000, "extra_bytes": 5000, "hold_open_ms": 20000},
      "/chunked": {"body_size": 25500, "chunked": true, "hold_open_ms": 20000},
      "/cut": {"body_size": 25500, "chunked": true, "close_after": 12345}}})");
  for (const char* path : {"/open", "/long", "/chunked"}) {
    DownloadRecorder rec(target_);
    rec.Fetch(impatient, server.Url(path));
    EXPECT_EQ(rec.Last().state, TRANSFER_DONE) << path << " error " << rec.Last().errorDetail;
    const std::uint64_t size = std::string(path) == "/open" ? 30000
                               : path[1] == 'l'             ? 10000
                                                            : 25500;
    EXPECT_EQ(ReadFileBytes(target_), FaultServer::PatternBytes(0, size)) << path;
  }

  // A chunked body cut short is a failed transfer; the next attempt resumes.
  DownloadRecorder cut(target_);
  cut.Fetch(impatient, server.Url("/cut"));
  EXPECT_EQ(cut.Last().state, TRANSFER_HTTP_ERROR);
  EXPECT_EQ(cut.Last().errorDetail, 18);  // CURLE_PARTIAL_FILE
  EXPECT_EQ(cut.Last().offset, 12345);
  server.Configure(R"({"routes": {"/cut": {"body_size": 25500}}})");
  DownloadRecorder resumed(target_);
  resumed.Fetch(impatient, server.Url("/cut"), 12345);
  EXPECT_EQ(resumed.Last().state, TRANSFER_DONE);
  EXPECT_EQ(ReadFileBytes(target_).substr(0, 25500), FaultServer::PatternBytes(0, 25500));
}

TEST_F(DownloaderTest, NoContentLengthGivesAnUnsizedFile) {
  FaultServer server(R"({"routes": {"/f": {"body_size": 30000, "content_length": false}}})");
  WriteFileBytes(target_, std::string(40000, 'x'));
  rec_.Fetch(downloader_, server.Url("/f"));
  ASSERT_EQ(rec_.events.front().event, DOWNLOAD_STARTED);
  EXPECT_EQ(rec_.events.front().contentLength, 0);
  EXPECT_EQ(rec_.events.front().fileAtEvent, "") << "truncated, not sized";
  EXPECT_EQ(rec_.Last().state, TRANSFER_DONE);
  EXPECT_EQ(ReadFileBytes(target_), FaultServer::PatternBytes(0, 30000));
}

TEST_F(DownloaderTest, LocalFileProblemsFailWithFileOpen) {
  FaultServer server(R"({"routes": {"/f": {"body_size": 100}}})");
  rec_.Fetch(downloader_, server.Url("/f"), 10);
  EXPECT_EQ(rec_.Codes(), std::vector<int>{DOWNLOAD_FAILED});
  EXPECT_EQ(rec_.Last().errorDetail, PATCH::FILE_OPEN);
  EXPECT_FALSE(std::filesystem::exists(target_)) << "a resume never creates the file";

  DownloadRecorder nodir(dir_ / "missing" / "f");
  nodir.Fetch(downloader_, server.Url("/f"));
  EXPECT_EQ(nodir.Codes(), std::vector<int>{DOWNLOAD_FAILED});
  EXPECT_EQ(nodir.Last().errorDetail, PATCH::FILE_OPEN);

  // A read-only target is replaced.
  WriteFileBytes(target_, "old");
  std::filesystem::permissions(target_, std::filesystem::perms::owner_read);
  DownloadRecorder readonly(target_);
  readonly.Fetch(downloader_, server.Url("/f"));
  EXPECT_EQ(readonly.Last().state, TRANSFER_DONE);
  EXPECT_EQ(ReadFileBytes(target_), FaultServer::PatternBytes(0, 100));
}

TEST_F(DownloaderTest, OtherFailuresEndWithUnexpected) {
  FaultServer server(R"({"routes": {"/f": {"body_size": 30000}}})");
  // A full disk: the target cannot even be sized.
  if (std::filesystem::exists("/dev/full")) {
    DownloadRecorder full("/dev/full");
    full.Fetch(downloader_, server.Url("/f"));
    EXPECT_EQ(full.Codes(), std::vector<int>{DOWNLOAD_FAILED});
    EXPECT_EQ(full.Last().errorDetail, PATCH::UNEXPECTED);
  }
  // A callback that fails with an ordinary exception ends the transfer, and
  // still hears about it.
  std::vector<RecordedEvent> seen;
  auto callback = [&](int event, const Transfer& t) {
    seen.push_back({event, t.offset, t.contentLength, t.state, t.errorDetail, {}});
    if (event == DOWNLOAD_PROGRESS) throw std::runtime_error("handler failed");
    return 0;
  };
  downloader_.Download(Widen(server.Url("/f")), FromUtf8Lossy(target_.string()), callback, 0);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[2].event, DOWNLOAD_FAILED);
  EXPECT_EQ(seen[2].errorDetail, PATCH::UNEXPECTED);
  EXPECT_EQ(ReadFileBytes(target_).substr(0, static_cast<size_t>(seen[1].offset)),
            FaultServer::PatternBytes(0, static_cast<uint64_t>(seen[1].offset)));
}

TEST_F(DownloaderTest, AddressesThatCannotBeSplitFailWithBadUrl) {
  WriteFileBytes(target_, "untouched");
  for (const char* url : {"/relative", "no scheme", "ftp://127.0.0.1/x", "http://h:99999/"}) {
    DownloadRecorder rec(target_);
    rec.Fetch(downloader_, url);
    EXPECT_EQ(rec.Codes(), std::vector<int>{DOWNLOAD_FAILED}) << url;
    EXPECT_EQ(rec.Last().errorDetail, PATCH::BAD_URL) << url;
  }
  EXPECT_EQ(ReadFileBytes(target_), "untouched");
  downloader_.Download(u"/relative", u"unused", nullptr, 0);  // no callback: no crash
}

TEST_F(DownloaderTest, NetworkFailuresEndInState5WithTheClientErrorNumber) {
  int closedPort;
  {
    FaultServer gone;
    closedPort = gone.port();
  }
  rec_.Fetch(downloader_, "http://127.0.0.1:" + std::to_string(closedPort) + "/f");
  EXPECT_EQ(rec_.Codes(), std::vector<int>{DOWNLOAD_DONE});
  EXPECT_EQ(rec_.Last().state, TRANSFER_HTTP_ERROR);
  EXPECT_EQ(rec_.Last().errorDetail, 7);  // CURLE_COULDNT_CONNECT
  EXPECT_FALSE(std::filesystem::exists(target_));

  Downloader::Options quick;
  quick.receiveTimeoutMs = 1000;
  Downloader impatient(quick);
  FaultServer server(R"({"routes": {
      "/silent": {"body_size": 100, "stall_before_headers_ms": 10000},
      "/stall": {"body_size": 20000, "stall_after": 10000, "stall_ms": 10000}}})");
  DownloadRecorder silent(target_);
  silent.Fetch(impatient, server.Url("/silent"));
  EXPECT_EQ(silent.Last().state, TRANSFER_HTTP_ERROR);
  EXPECT_EQ(silent.Last().errorDetail, 28);  // CURLE_OPERATION_TIMEDOUT
  EXPECT_FALSE(std::filesystem::exists(target_));

  // Slow but steady data is no time-out.
  server.Configure(R"({"routes": {"/slow": {"body_size": 12000,
                                             "trickle": {"chunk": 1000, "delay_ms": 200}}}})");
  DownloadRecorder slow(target_);
  slow.Fetch(impatient, server.Url("/slow"));
  EXPECT_EQ(slow.Last().state, TRANSFER_DONE);
  EXPECT_EQ(ReadFileBytes(target_), FaultServer::PatternBytes(0, 12000));

  server.Configure(R"({"routes": {"/stall": {"body_size": 20000, "stall_after": 10000,
                                              "stall_ms": 10000}}})");
  DownloadRecorder stall(target_);
  stall.Fetch(impatient, server.Url("/stall"));
  EXPECT_EQ(stall.Last().state, TRANSFER_HTTP_ERROR);
  EXPECT_EQ(stall.Last().errorDetail, 28);
  EXPECT_EQ(stall.Last().offset, 10000);
  EXPECT_EQ(ReadFileBytes(target_).substr(0, 10000), FaultServer::PatternBytes(0, 10000));
}

TEST_F(DownloaderTest, GoesThroughTheConfiguredProxyWithItsCredentials) {
  FaultServer proxy(R"({"routes": {
      "http://patch.invalid/f": {"body_size": 5000, "proxy_auth": "user:secret"}}})");
  const std::string proxyAt = "127.0.0.1:" + std::to_string(proxy.port());

  setenv("http_proxy", ("http://user:secret@" + proxyAt).c_str(), 1);
  rec_.Fetch(downloader_, "http://patch.invalid/f");
  EXPECT_EQ(rec_.Last().state, TRANSFER_DONE);
  EXPECT_EQ(ReadFileBytes(target_), FaultServer::PatternBytes(0, 5000));
  auto requests = proxy.Requests();
  ASSERT_FALSE(requests.empty());
  // The first request asks without credentials; the proxy's challenge
  // (from an HTTP/1.0 proxy here, so libcurl asks again in its version)
  // picks the scheme.
  EXPECT_EQ(requests.front().rfind("GET http://patch.invalid/f HTTP/1.1\r\n", 0), 0u);
  EXPECT_EQ(requests.back().rfind("GET http://patch.invalid/f HTTP/1.", 0), 0u);
  EXPECT_NE(requests.back().find("Proxy-Authorization: Basic dXNlcjpzZWNyZXQ=\r\n"),
            std::string::npos);

  // Without credentials the proxy's refusal is the answer.
  std::filesystem::remove(target_);
  setenv("http_proxy", ("http://" + proxyAt).c_str(), 1);
  DownloadRecorder refused(target_);
  refused.Fetch(downloader_, "http://patch.invalid/f");
  ClearProxyEnvironment();
  EXPECT_EQ(refused.Codes(), std::vector<int>{DOWNLOAD_DONE});
  EXPECT_EQ(refused.Last().state, TRANSFER_HTTP_ERROR);
  EXPECT_EQ(refused.Last().errorDetail, 407);
  EXPECT_FALSE(std::filesystem::exists(target_));
}

bool AnyDescriptorOpenOn(const std::filesystem::path& file) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec) == file) return true;
  }
  return false;
}

TEST_F(DownloaderTest, CancelFromACallbackLeavesDownloadWithTheFileClosed) {
  FaultServer server(R"({"routes": {"/f": {"body_size": 100000}}})");
  for (int cancelAt : {DOWNLOAD_STARTED, DOWNLOAD_PROGRESS, DOWNLOAD_DONE}) {
    std::vector<int> seen;
    std::int64_t lastOffset = 0;
    auto callback = [&](int event, const Transfer& t) {
      seen.push_back(event);
      lastOffset = t.offset;
      if (event == cancelAt) throw WorkerCancelled{};
      return 0;
    };
    bool cancelled = false;
    try {
      downloader_.Download(Widen(server.Url("/f")), FromUtf8Lossy(target_.string()), callback, 0);
    } catch (const WorkerCancelled&) {
      cancelled = true;
    }
    EXPECT_TRUE(cancelled) << cancelAt;
    EXPECT_EQ(seen.back(), cancelAt) << "no event after the cancel";
    EXPECT_FALSE(AnyDescriptorOpenOn(std::filesystem::canonical(target_)));
    if (cancelAt == DOWNLOAD_PROGRESS) {
      EXPECT_EQ(ReadFileBytes(target_).substr(0, static_cast<size_t>(lastOffset)),
                FaultServer::PatternBytes(0, static_cast<uint64_t>(lastOffset)));
    }
  }
}

TEST_F(DownloaderTest, OffsetsAndLengthsAre64Bit) {
  // An announced length past 4 GiB is read whole; the target is sized to it
  // only as far as 64 MiB, whatever a header says.
  FaultServer server(R"({"routes": {"/huge": {"body_size": 8192, "content_length": 5368709121,
                                               "close_after": 8192}}})");
  rec_.Fetch(downloader_, server.Url("/huge"));
  ASSERT_FALSE(rec_.events.empty());
  EXPECT_EQ(rec_.events.front().contentLength, 5368709121);
  EXPECT_EQ(std::filesystem::file_size(target_), std::uintmax_t{64} << 20);
  EXPECT_EQ(rec_.Last().state, TRANSFER_HTTP_ERROR);
  EXPECT_EQ(rec_.Last().offset, 8192);
}

}  // namespace
}  // namespace launcher::testing
