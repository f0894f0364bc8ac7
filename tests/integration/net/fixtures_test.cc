// The network fixtures themselves: what other tests rely on when they assert
// on recorded requests and access-log lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "support/child_server.h"
#include "support/fault_server.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"
#include "support/web_server.h"

namespace launcher::testing {
namespace {

TEST(FaultServerTest, RecordsRawRequestsAndFollowsRouteScript) {
  FaultServer server(R"({"routes": {
      "/pattern": {"body_size": 600},
      "/moved": {"status": 302, "location": "{base}/pattern",
                 "raw_headers": "Content-Location: /elsewhere\r\n"},
      "/short": {"body_size": 100, "close_after": 10},
      "/norange": {"body_size": 50, "ranges": "ignore"}}})");

  std::string a = RawHttpExchange(server.port(), "GET /./pattern HTTP/1.0\r\n\r\n");
  EXPECT_NE(a.find("404"), std::string::npos) << "targets match exactly, ./ included";

  a = RawHttpExchange(server.port(), "GET /pattern HTTP/1.0\r\nRANGE: bytes= 500 -\r\n\r\n");
  EXPECT_EQ(a.rfind("HTTP/1.0 206", 0), 0u);
  EXPECT_NE(a.find("Content-Range: bytes 500-599/600\r\n"), std::string::npos);
  EXPECT_EQ(a.substr(a.size() - 100), FaultServer::PatternBytes(500, 100));

  a = RawHttpExchange(server.port(), "GET /pattern HTTP/1.0\r\nRange: bytes=600-\r\n\r\n");
  EXPECT_EQ(a.rfind("HTTP/1.0 416", 0), 0u);

  a = RawHttpExchange(server.port(), "GET /moved HTTP/1.0\r\n\r\n");
  EXPECT_NE(a.find("Content-Location: /elsewhere\r\nLocation: " + server.Url("/pattern") + "\r\n"),
            std::string::npos);

  a = RawHttpExchange(server.port(), "GET /short HTTP/1.0\r\n\r\n");
  EXPECT_NE(a.find("Content-Length: 100\r\n"), std::string::npos);
  EXPECT_EQ(a.substr(a.find("\r\n\r\n") + 4), FaultServer::PatternBytes(0, 10));

  a = RawHttpExchange(server.port(), "GET /norange HTTP/1.0\r\nRange: bytes=10-\r\n\r\n");
  EXPECT_EQ(a.rfind("HTTP/1.0 200", 0), 0u);

  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 6u);
  EXPECT_EQ(requests[1], "GET /pattern HTTP/1.0\r\nRANGE: bytes= 500 -\r\n\r\n");

  server.ClearRequests();
  server.Configure(R"({"routes": {"/new": {"body": "x"}}})");
  a = RawHttpExchange(server.port(), "GET /pattern HTTP/1.0\r\n\r\n");
  EXPECT_EQ(a.rfind("HTTP/1.0 404", 0), 0u);
  a = RawHttpExchange(server.port(), "GET /new HTTP/1.0\r\n\r\n");
  EXPECT_EQ(a.substr(a.size() - 1), "x");
  EXPECT_EQ(server.Requests().size(), 2u);
}

TEST(FaultServerTest, ServesRootDirectoryForUnroutedTargets) {
  TempDir root;
  WriteFileBytes(root / "sub" / "f.txt", "0123456789");
  FaultServer server("{}", root.path());
  std::string a =
      RawHttpExchange(server.port(), "GET /sub/./f.txt HTTP/1.0\r\nRange: bytes=4-\r\n\r\n");
  EXPECT_EQ(a.rfind("HTTP/1.0 206", 0), 0u);
  EXPECT_EQ(a.substr(a.size() - 6), "456789");
  a = RawHttpExchange(server.port(), "GET /sub/../../etc/passwd HTTP/1.0\r\n\r\n");
  EXPECT_EQ(a.rfind("HTTP/1.0 404", 0), 0u);
}

TEST(NginxServerTest, ServesRootAndLogsRequestLineAndRange) {
  for (bool master : {false, true}) {
    TempDir root;
    WriteFileBytes(root / "dir" / "f.bin", std::string(10000, 'z'));
    NginxServer::Options options;
    options.masterProcess = master;
    NginxServer nginx(root.path(), options);
    EXPECT_EQ(nginx.BaseUrl(), "http://127.0.0.1:" + std::to_string(nginx.port()) + "/");

    std::string a = RawHttpExchange(
        nginx.port(),
        "GET /dir/./f.bin HTTP/1.0\r\nRANGE: bytes= 4096 -\r\nPragma: no-cache\r\n\r\n");
    EXPECT_EQ(a.rfind("HTTP/1.1 206", 0), 0u) << a.substr(0, 200);
    EXPECT_EQ(a.size() - a.find("\r\n\r\n") - 4, 10000u - 4096u);
    a = RawHttpExchange(nginx.port(), "GET /dir/f.bin HTTP/1.0\r\nRange: bytes=10000-\r\n\r\n");
    EXPECT_EQ(a.rfind("HTTP/1.1 416", 0), 0u);

    auto lines = nginx.WaitForAccessLog(2);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "GET /dir/./f.bin HTTP/1.0\tbytes= 4096 -\t206\t5904\t-\tno-cache");
    EXPECT_EQ(lines[1].substr(0, 40), "GET /dir/f.bin HTTP/1.0\tbytes=10000-\t416");
  }
}

// What a server fixture sees when another program took its port: something
// accepts there, but does not answer with this start's token; a child that
// ended (it could not bind) is told apart from one still starting.
TEST(ChildServerTest, OnlyThisStartsTokenCountsAndAnEndedChildIsSeen) {
  FaultServer other(R"({"routes": {"/ready": {"body": "another server"}}})");
  EXPECT_TRUE(AnswerHolds(other.port(), "/ready", "another server"));
  EXPECT_FALSE(AnswerHolds(other.port(), "/ready", NewStartToken()));
  EXPECT_NE(NewStartToken(), NewStartToken());
  const RefusingPort refusing;
  EXPECT_FALSE(AnswerHolds(refusing.port(), "/", "x"));

  const pid_t ended = fork();
  if (ended == 0) _exit(1);
  EXPECT_EQ(WaitUntilServing(ended, 30000, [] { return false; }), StartOutcome::kChildEnded);
  const pid_t running = fork();
  if (running == 0) {
    pause();
    _exit(0);
  }
  EXPECT_EQ(WaitUntilServing(running, 30000, [] { return true; }), StartOutcome::kServing);
  StopChild(running);

  // The token file a file server is started with is gone once it serves.
  TempDir root;
  WriteFileBytes(root / "f.txt", "f");
  const WebServer busybox(WebServer::kBusybox, root.path());
  const std::string answer = RawHttpExchange(busybox.port(), "GET /f.txt HTTP/1.0\r\n\r\n");
  EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4), "f");
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(root.path())) ++entries;
  EXPECT_EQ(entries, 1u);
}

}  // namespace
}  // namespace launcher::testing
