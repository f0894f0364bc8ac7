// The update driver: UpdateThreadProc with a recording display, nginx
// serving a launcher-publish tree and a fake patcher control, so no test
// waits for a process. One run hands off to the stand-in patcher as a real
// process, probed through the real lock; locks live in a private runtime
// directory, so patchers of other tests never meet ours.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <functional>
#include <utility>

#include "files/string_table.h"
#include "integration/engine/engine_fixture.h"
#include "integration/platform/patcher_record.h"
#include "platform/clock.h"
#include "seam/cancel.h"
#include "support/fake_patcher.h"
#include "update/update_driver.h"
#include "update/update_state.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::DisplayCall;
using testing::EngineFixture;
using testing::PatcherRecord;
using testing::ReadFileBytes;
using testing::Release;
using testing::WriteFileBytes;
using Strings = std::vector<std::string>;

// The installed clock, with a hook that runs before each sleep.
class ScriptedClock : public ForwardingClock {
 public:
  using ForwardingClock::ForwardingClock;
  std::function<void(std::uint32_t)> beforeSleep;
  void Sleep(std::uint32_t ms) override {
    if (beforeSleep) beforeSleep(ms);
    ForwardingClock::Sleep(ms);
  }
};

class DriverTest : public EngineFixture {
 protected:
  static void SetUpTestSuite() {
    std::string dir = (fs::temp_directory_path() / "launcher-locks-XXXXXX").string();
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    lockDir_ = dir;
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  }
  static void TearDownTestSuite() { fs::remove_all(lockDir_); }

  void SetUp() override {
    Publish(2, {{"a.txt", "a2"}, {"d/b.txt", "b2"}});
    StartServer();
  }

  void RunDriver(bool fullCheck, bool updateMode, testing::RecordingDisplay::Hook hook = {}) {
    NewRun();
    env_.display.SetHook(std::move(hook));
    env_.display.set_update_mode(updateMode);
    const int flag = fullCheck ? 1 : 0;
    EXPECT_EQ(UpdateThreadProc(&flag), 0);
  }

  // The patcher was started `earlier` times before, and once more now, as
  // "../patcher/patcher.exe /update" in its own directory.
  void ExpectStartedOnceWithUpdate(std::size_t earlier) {
    const auto starts = patcher_.Starts();
    ASSERT_EQ(starts.size(), earlier + 1);
    EXPECT_EQ(starts.back().program, fs::path("../patcher/patcher.exe"));
    EXPECT_EQ(starts.back().args, Strings{"/update"});
    EXPECT_EQ(starts.back().workingDir, fs::path("../patcher"));
  }

  std::vector<DisplayCall::Kind> CallKinds() const {
    std::vector<DisplayCall::Kind> kinds;
    for (const auto& c : env_.display.Calls()) kinds.push_back(c.kind);
    return kinds;
  }
  bool Called(DisplayCall::Kind kind) const {
    for (auto k : CallKinds()) {
      if (k == kind) return true;
    }
    return false;
  }

  static fs::path lockDir_;
  testing::FakePatcherControl patcher_;
  testing::ScopedPatcherControl installed_{&patcher_};
};

fs::path DriverTest::lockDir_;

// The one run with the system's patcher control: the real lock is probed
// and the stand-in patcher really starts.
TEST_F(DriverTest, UpToDateRunLogsTheSessionAndHandsOffOnce) {
  testing::ScopedPatcherControl system(nullptr);
  const fs::path record = env_.root() / "patcher-record.txt";
  ::setenv("FAKE_PATCHER_RECORD", record.c_str(), 1);
  ::setenv("FAKE_PATCHER_SECONDS", "0", 1);
  fs::copy_file(FAKE_PATCHER_EXE, env_.Patcher("patcher.exe"));
  Install({{"a.txt", "a2"}, {"d/b.txt", "b2"}});
  WriteFileBytes(env_.Config("version.sw"), "2\r\n");

  RunDriver(false, false);

  EXPECT_EQ(Log(), (Strings{std::string(69, '='), "S42 ", "S37 ", "S41 "}));
  const auto calls = env_.display.Calls();
  ASSERT_EQ(calls.size(), 8u);
  EXPECT_EQ(calls[0].kind, DisplayCall::kStatus);
  EXPECT_EQ(calls[0].text, u"");
  EXPECT_EQ(calls[1].text, Msg(MSG_UPDATE_START));
  EXPECT_EQ(calls[2].text, Msg(MSG_UPDATE_DONE));
  EXPECT_EQ(calls[3].kind, DisplayCall::kDetail);
  EXPECT_EQ(calls[4].kind, DisplayCall::kTotal);
  EXPECT_EQ(calls[4].percent, 100);
  EXPECT_EQ(calls[5].kind, DisplayCall::kFile);
  EXPECT_EQ(calls[5].percent, 100);
  EXPECT_EQ(calls[6].kind, DisplayCall::kHide);
  EXPECT_EQ(calls[7].kind, DisplayCall::kClose);
  // 30 ms before the probe, 300 after the outcome, 200 + 100 around the start.
  EXPECT_EQ(env_.clock.TotalSleptMs(), 630u);
  const auto started = testing::WaitForPatcherRecords(record, 1, 5s);
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].at("lock"), "held");
  EXPECT_EQ(started[0].at("argc"), "1");
  EXPECT_EQ(started[0].at("arg1"), "/update");
  EXPECT_EQ(started[0].at("cwd"), fs::canonical(env_.Patcher()).string());
  // The error log is created by its rotation.
  EXPECT_TRUE(fs::exists(env_.Config("fileerr.log")));
}

TEST_F(DriverTest, FullCheckRunFromScratchLogsEveryStepLineByLine) {
  Install({{"a.txt", "a2"}});

  RunDriver(true, false);

  EXPECT_EQ(Log(),
            (Strings{std::string(69, '='), "S42 ", "S24 ", "S22 ", "S28 ", "S14 ./a.txt",
                     "S14 ./d/b.txt", "S15 ", "S17 ./d/b.txt", "S19 ", "S21 ./d/b.txt", "S30 "}));
  EXPECT_EQ(Installed(), (Release{{"a.txt", "a2"}, {"d/b.txt", "b2"}}));
  EXPECT_EQ(ReadFileBytes(env_.Config("version.sw")), "2\r\n");
  ExpectStartedOnceWithUpdate(0);
}

TEST_F(DriverTest, ProductIdComesFromPidIniAndThePatcherStartsAfterAFailedPath) {
  Install({{"a.txt", "a2"}});
  WriteFileBytes(env_.Patcher("server/pid.ini"), "[Version]\npid=7\n");

  RunDriver(false, false);

  EXPECT_EQ(LocalPid, 7);
  EXPECT_EQ(Statuses().back(), Msg(MSG_PID_MISMATCH));
  EXPECT_TRUE(Called(DisplayCall::kHide));
  ExpectStartedOnceWithUpdate(0);

  // Served 7 too: the update goes on.
  WriteFileBytes(served_ / "info" / "pid", "7\n");
  RunDriver(false, false);
  EXPECT_EQ(Statuses().back(), Msg(MSG_FULL_CHECK_DONE));
  ExpectStartedOnceWithUpdate(1);
}

TEST_F(DriverTest, UnreachableServerInUpdateModeWithFullCheckStillHandsOff) {
  UseUnreachableServer();
  RunDriver(true, true);
  EXPECT_EQ(Statuses(),
            (std::vector<std::u16string>{u"", Msg(MSG_WAITING_FOR_PATCHER),
                                         Msg(MSG_FULL_CHECK_START), Msg(MSG_SERVER_INFO_MISSING)}));
  EXPECT_TRUE(Called(DisplayCall::kHide));
  EXPECT_TRUE(Called(DisplayCall::kClose));
  ExpectStartedOnceWithUpdate(0);
}

// A patcher that ended within the first second is not noticed: the first
// probe finds none. One that ends during the tries is noticed at the next.
TEST_F(DriverTest, UpdateModeUpdatesAtTheFirstProbeThatFindsNoPatcher) {
  std::uint64_t earlier = 0;
  for (int runningProbes : {0, 3}) {
    SCOPED_TRACE(runningProbes);
    testing::FakePatcherControl patcher;
    patcher.runningProbes = runningProbes;
    testing::ScopedPatcherControl installed(&patcher);
    std::uint64_t sleptBeforeUpdate = 0;
    RunDriver(false, true, [&](const DisplayCall& call) {
      if (call.kind == DisplayCall::kStatus && call.text == Msg(MSG_UPDATE_START)) {
        sleptBeforeUpdate = env_.clock.TotalSleptMs();
      }
    });

    EXPECT_EQ(patcher.probes.load(), runningProbes + 1);
    EXPECT_EQ(
        sleptBeforeUpdate - std::exchange(earlier, env_.clock.TotalSleptMs()),
        kFirstPatcherWaitMs + static_cast<std::uint32_t>(runningProbes + 1) * kPatcherTryPauseMs);
    const auto statuses = Statuses();
    ASSERT_GE(statuses.size(), 3u);
    EXPECT_EQ(statuses[1], Msg(MSG_WAITING_FOR_PATCHER));
    EXPECT_EQ(statuses[2], Msg(MSG_UPDATE_START));
    EXPECT_EQ(patcher.Starts().size(), 1u);
  }
}

TEST_F(DriverTest, UpdateModePatcherThatKeepsRunningGetsTwentyTriesAndNoStart) {
  patcher_.runningProbes = testing::FakePatcherControl::kAlways;

  RunDriver(false, true);

  EXPECT_EQ(Statuses(), (std::vector<std::u16string>{u"", Msg(MSG_WAITING_FOR_PATCHER),
                                                     Msg(MSG_PATCHER_STILL_RUNNING)}));
  EXPECT_EQ(Details(), std::vector<std::u16string>{Msg(MSG_PATCHER_STILL_RUNNING_DETAIL)});
  EXPECT_EQ(env_.clock.TotalSleptMs(), 1000u + 20u * 300u + 500u);
  EXPECT_FALSE(Called(DisplayCall::kHide));
  EXPECT_EQ(CallKinds().back(), DisplayCall::kClose);
  EXPECT_EQ(patcher_.probes.load(), kPatcherTries);
  EXPECT_TRUE(patcher_.Starts().empty());
  EXPECT_EQ(FileRequestCount() + Requests().size(), 0u);  // nothing fetched
}

TEST_F(DriverTest, NormalModeWithARunningPatcherLogsWithTheSizeCheckAndRaisesIt) {
  patcher_.runningProbes = testing::FakePatcherControl::kAlways;
  // Once the session has started, the log grows past its limit: the
  // patcher-running line must rotate it.
  RunDriver(false, false, [this](const DisplayCall& call) {
    if (call.kind == DisplayCall::kStatus && call.text.empty()) {
      std::string big = ReadFileBytes(env_.Config("update.log"));
      big.resize(300000, 'x');
      WriteFileBytes(env_.Config("update.log"), big);
    }
  });

  EXPECT_EQ(Log(), Strings{"S46 "});
  EXPECT_EQ(fs::file_size(env_.Config("update.001")), 300000u);
  EXPECT_EQ(Statuses(), std::vector<std::u16string>{u""});
  EXPECT_FALSE(Called(DisplayCall::kHide));
  EXPECT_EQ(CallKinds().back(), DisplayCall::kClose);
  EXPECT_EQ(patcher_.raises.load(), 1);
  EXPECT_TRUE(patcher_.Starts().empty());
  EXPECT_TRUE(Requests().empty());
}

// A close of the window at each pause of the driver: the worker stops there,
// touches the window no more, and starts no patcher.
TEST_F(DriverTest, CloseOfTheWindowAtAnyPauseEndsTheWorkerWithoutHandOff) {
  Install({{"a.txt", "a2"}, {"d/b.txt", "b2"}});
  WriteFileBytes(env_.Config("version.sw"), "2\r\n");
  struct Case {
    bool updateMode;
    std::uint32_t pause;  // the sleep during which the window closes
    bool updated;         // the update path had run by then
  };
  const Case cases[] = {{false, kNormalProbeDelayMs, false},
                        {true, kFirstPatcherWaitMs, false},
                        {true, kPatcherTryPauseMs, false},
                        {false, 300, true},  // the outcome pause of the update path
                        {false, kBeforeHandOffMs, true},
                        {false, kAfterPatcherStartMs, true}};
  std::size_t started = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.pause) + (c.updateMode ? " /update" : " normal"));
    ScriptedClock clock(env_.clock);
    std::size_t callsAtClose = 0;
    clock.beforeSleep = [&](std::uint32_t ms) {
      if (ms == c.pause && WindowClosing.load() == 0) {
        RunCloseHandshake();  // what the window's close handler does
        callsAtClose = env_.display.Calls().size();
      }
    };
    testing::ScopedEngineClock useIt(&clock);
    const std::size_t requestsBefore = Requests().size();

    RunDriver(false, c.updateMode);

    EXPECT_EQ(WindowClosing.load(), 1);
    EXPECT_EQ(env_.display.Calls().size(), callsAtClose);  // nothing after the close
    EXPECT_FALSE(Called(DisplayCall::kClose));
    EXPECT_EQ(Requests().size() - requestsBefore, c.updated ? 2u : 0u);
    if (c.pause == kAfterPatcherStartMs) {
      ++started;  // the close came after the start had been made
      EXPECT_TRUE(Called(DisplayCall::kHide));
    } else {
      EXPECT_FALSE(Called(DisplayCall::kHide));
    }
    EXPECT_EQ(patcher_.Starts().size(), started);
  }
}

}  // namespace
}  // namespace launcher
