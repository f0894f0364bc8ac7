// Network faults from the fault-injecting server, end to end through the
// full check and the incremental update: ranges ignored or refused, bodies
// cut at random points, wrong or missing lengths, redirect chains and
// header injection in Location, a trickle, a stall, a server that is down.
// Each case ends with the release installed or with ../patcher/ untouched;
// never with a file that is neither old nor new.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "files/string_table.h"
#include "seam/cancel.h"
#include "torture/torture_bed.h"
#include "update/incremental_update.h"
#include "update/list_path.h"
#include "update/update_state.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::DisplayCall;
using testing::ReadFileBytes;
using testing::Release;
using testing::ServerTree;

class NetworkTest : public testing::TortureBed {
 protected:
  void SetUp() override {
    Install(old_);
    PublishFull(new_);
    StartFaultServer("{}");
    patcher_ = PatcherState();
    rest_ = RestState();
  }

  // The request target of the compressed form of `rel`, as the engine asks.
  static std::string Target(const std::string& rel) {
    return "/patcher/patcher/" + EncodeListPath(rel);
  }
  std::string ServedPath(const std::string& rel) const {
    return (tree_.root() / "patcher" / "patcher" / EncodeListPath(rel).substr(2)).string();
  }
  // Routes the big file through `route` (a JSON object without braces,
  // the served bytes added as body_file).
  void RouteBig(const std::string& route) {
    fault_->Configure(R"({"routes": {")" + Target("data/big.bin") + R"(": {"body_file": ")" +
                      ServedPath("data/big.bin") + "\"" + (route.empty() ? "" : ", " + route) +
                      "}}}");
  }
  // A failed run: nothing installed, nothing written where it must not be.
  void ExpectUntouched(const std::string& what) {
    SCOPED_TRACE(what);
    ExpectPatcherUnchanged(patcher_);
    EXPECT_FALSE(fs::exists(env_.Config("version.sw")));
    ExpectNothingStray(rest_);
  }
  void ExpectRelease(const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(Installed(), new_);
    ExpectNothingStray(rest_);
  }
  std::size_t BigRequests() const {
    std::size_t n = 0;
    for (const auto& request : fault_->Requests()) {
      if (request.find(Target("data/big.bin")) != std::string::npos) ++n;
    }
    return n;
  }
  int RunIncremental() {
    env_.NewRun();
    env_.display.Clear();
    LocalVersion = 1;
    ServerVersion = 2;
    SharedDownloader = std::make_unique<Downloader>();
    return RunIncrementalUpdate();
  }
  std::string IncrementalList() {
    std::string list;
    for (const auto& [path, content] : new_) {
      auto old = old_.find(path);
      if (old == old_.end() || old->second != content) {
        list += "+" + testing::FullListLine(tree_.AddFile(path, content), path);
      }
    }
    return list;
  }

  const Release old_ = {{"main.exe", "old main"}, {"data/big.bin", "old big"}};
  const Release new_ = {{"main.exe", "new main"},
                        {"data/big.bin", testing::NoiseBytes(300000, 11)},
                        {"data/c.ini", "c"}};
  testing::TreeState patcher_;
  testing::TreeState rest_;
};

TEST_F(NetworkTest, BodiesCutAtRandomPointsNeverInstallAndTheNextRunCompletes) {
  std::mt19937 rng(testing::TortureSeed(4711));
  const auto size = fs::file_size(ServedPath("data/big.bin"));
  std::uniform_int_distribution<std::uint64_t> cut(0, size - 1);
  for (int round = 0; round < 3 * testing::TortureRounds(); ++round) {
    const std::uint64_t at = cut(rng);
    RouteBig("\"close_after\": " + std::to_string(at));
    EXPECT_FALSE(RunFullCheckOnce()) << "cut at " << at;
    ExpectUntouched("full check cut at " + std::to_string(at));
  }
  // The incremental update with a different cut every run keeps its state
  // and never installs a partial file; resumed runs may assemble the whole
  // file from their pieces and finish early.
  tree_.WriteSignedList(1, IncrementalList());
  bool finished = false;
  for (int round = 0; round < 3 * testing::TortureRounds() && !finished; ++round) {
    const std::uint64_t at = cut(rng);
    RouteBig("\"close_after\": " + std::to_string(at));
    finished = RunIncremental() == 1;
    for (const auto& [path, content] : Installed()) {
      EXPECT_TRUE((old_.count(path) && old_.at(path) == content) ||
                  (new_.count(path) && new_.at(path) == content))
          << path << " is neither old nor new after a cut at " << at;
    }
  }
  RouteBig("");
  if (!finished) {
    EXPECT_EQ(RunIncremental(), 1);
  }
  ExpectRelease("incremental after the cuts");
}

TEST_F(NetworkTest, WrongOrMissingLengthsAndRefusedRanges) {
  const auto size = fs::file_size(ServedPath("data/big.bin"));
  const std::pair<std::string, std::string> failing[] = {
      {"length announced short", "\"content_length\": " + std::to_string(size - 1000)},
      {"length announced long", "\"content_length\": " + std::to_string(size + 1000)},
      {"length far too long", "\"content_length\": 999999999999"},
      {"always 416", "\"status\": 416"},
      {"status 500", "\"status\": 500"},
      {"odd status line", "\"status_line\": \"HTTP/1.0 299 Fine\""},
  };
  for (const auto& [what, route] : failing) {
    RouteBig(route);
    EXPECT_FALSE(RunFullCheckOnce()) << what;
    ExpectUntouched(what);
  }
  RouteBig("\"content_length\": false");
  EXPECT_TRUE(RunFullCheckOnce()) << "no Content-Length at all is a plain body";
  ExpectRelease("without Content-Length");

  // Bytes after the announced length are not part of the body.
  Install(old_);
  RouteBig("\"extra_bytes\": 5000");
  EXPECT_TRUE(RunFullCheckOnce()) << "the body ends at its announced length";
  ExpectRelease("with bytes after the body");
}

// A resumed transfer against a server that ignores the range and sends the
// whole file: the transfer starts again at byte 0 and the file is right.
TEST_F(NetworkTest, ResumeAgainstAServerIgnoringTheRange) {
  tree_.WriteSignedList(1, IncrementalList());
  RouteBig("\"trickle\": {\"chunk\": 16384, \"delay_ms\": 1}");
  env_.display.SetHook([](const DisplayCall& call) {
    if (call.kind == DisplayCall::kFile && call.percent >= 30 && call.percent < 100) {
      CancelRequested.store(1);
    }
  });
  EXPECT_TRUE(testing::EndsCancelled([&] { RunIncremental(); }));
  env_.display.SetHook({});
  ASSERT_TRUE(fs::exists(env_.Config("ustate.sw")));
  ASSERT_GT(fs::file_size(env_.Config("tempfile.dat")), 0u);
  RouteBig("\"ranges\": \"ignore\"");
  fault_->ClearRequests();
  EXPECT_EQ(RunIncremental(), 1);
  bool resumed = false;
  for (const auto& request : fault_->Requests()) {
    if (request.find("Range: bytes=") != std::string::npos) resumed = true;
  }
  EXPECT_TRUE(resumed) << "the second run asked for the rest";
  ExpectRelease("after the ignored range");
}

// A terabyte announced once, the transfer cut: the next run, against an
// honest server, resumes, never reads (or keeps) the reserved tail, and
// finishes in its first attempt instead of digesting a terabyte of zeros
// again on every run.
TEST_F(NetworkTest, OneHostileLengthCostsNothingToLaterRuns) {
  tree_.WriteSignedList(1, IncrementalList());
  RouteBig(R"("content_length": 1099511627776, "trickle": {"chunk": 16384, "delay_ms": 1})");
  env_.display.SetHook([](const DisplayCall& call) {
    if (call.kind == DisplayCall::kFile && call.percent == 0 && BytesDone > 0) {
      CancelRequested.store(1);
    }
  });
  EXPECT_TRUE(testing::EndsCancelled([&] { RunIncremental(); }));
  env_.display.SetHook({});
  ASSERT_GT(BytesDone, 0);
  ASSERT_LE(fs::file_size(env_.Config("tempfile.dat")), std::uintmax_t{64} << 20)
      << "a header reserves at most 64 MiB";

  RouteBig("");
  fault_->ClearRequests();
  EXPECT_EQ(RunIncremental(), 1);
  EXPECT_EQ(BigRequests(), 1u) << "one resumed request; its digest passed";
  ExpectRelease("after the hostile length");
}

TEST_F(NetworkTest, RedirectsAreFollowedOnceAndLocationCannotInjectHeaders) {
  const std::string real = ServedPath("data/big.bin");
  auto routes = [&](const std::string& first, const std::string& extra) {
    fault_->Configure(R"({"routes": {")" + Target("data/big.bin") + "\": {" + first + "}" + extra +
                      "}}");
  };
  // Two hops: refused; nothing loops, nothing installed.
  routes(R"("status": 302, "location": "{base}/hop1")",
         R"(, "/hop1": {"status": 302, "location": "{base}/hop2"}, "/hop2": {"body_file": ")" +
             real + "\"}");
  EXPECT_FALSE(RunFullCheckOnce());
  ExpectUntouched("redirect chain");
  EXPECT_EQ(BigRequests(), 2u) << "one request per attempt, two attempts";

  // A Location whose value tries to smuggle a header line into the next
  // request, by a lone CR and by an encoded CR LF.
  const char* injections[] = {
      R"("status": 302, "raw_headers": "Location: {base}/hop2\rInjected: yes\r\n")",
      R"("status": 302, "location": "{base}/hop2%0D%0AInjected:%20yes")",
      R"("status": 302, "location": "{base}/hop2\u0000Injected: yes")",
  };
  for (const char* injection : injections) {
    fault_->ClearRequests();
    routes(injection, R"(, "/hop2": {"body_file": ")" + real + "\"}");
    RunFullCheckOnce();
    for (const auto& request : fault_->Requests()) {
      EXPECT_EQ(request.find("\nInjected"), std::string::npos) << injection << "\n" << request;
      EXPECT_EQ(request.find("\rInjected"), std::string::npos) << injection << "\n" << request;
    }
    for (const auto& [path, content] : Installed()) {
      EXPECT_TRUE((old_.count(path) && old_.at(path) == content) ||
                  (new_.count(path) && new_.at(path) == content))
          << injection << ": " << path;
    }
  }

  // One hop is fine.
  Install(old_);
  routes(R"("status": 302, "location": "{base}/hop2")",
         R"(, "/hop2": {"body_file": ")" + real + "\"}");
  EXPECT_TRUE(RunFullCheckOnce());
  ExpectRelease("one redirect");
}

TEST_F(NetworkTest, TrickleCompletesStallTimesOutAndADownServerChangesNothing) {
  RouteBig("\"stall_after\": 20000, \"stall_ms\": 4000");
  Downloader::Options quick;
  quick.receiveTimeoutMs = 1000;
  quick.connectTimeoutMs = 2000;
  EXPECT_FALSE(RunFullListUpdateWith(quick));
  ExpectUntouched("stall");
  EXPECT_EQ(BigRequests(), 2u);

  RouteBig("\"trickle\": {\"chunk\": 8192, \"delay_ms\": 3}");
  EXPECT_TRUE(RunFullListUpdateWith(quick)) << "slow but steady is not a stall";
  ExpectRelease("trickle");

  // Down: nothing listens. Nothing under ../patcher/ or ../config/ changes.
  Install(old_);
  fs::remove(env_.Config("version.sw"));
  patcher_ = PatcherState();
  const int port = fault_->port();
  fault_.reset();
  env_.UseServer("http://127.0.0.1:" + std::to_string(port) + "/");
  const auto config = testing::SnapshotTree(env_.Config());
  EXPECT_FALSE(RunFullCheckOnce());
  EXPECT_TRUE(StatusShown(MSG_SERVER_INFO_MISSING));
  ExpectUntouched("server down");
  auto after = testing::SnapshotTree(env_.Config());
  after.erase("update.log");
  auto before = config;
  before.erase("update.log");
  EXPECT_EQ(testing::DescribeTreeDifference(before, after), "");
  // Up again.
  StartFaultServer("{}");
  EXPECT_TRUE(RunFullCheckOnce());
  ExpectRelease("server up again");
}

}  // namespace
}  // namespace launcher
