#include "seam/cancel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "seam/status_display.h"
#include "support/engine_state.h"
#include "support/recording_display.h"

namespace launcher {
namespace {

using namespace std::chrono_literals;

class CancelTest : public ::testing::Test {
 protected:
  testing::ScopedEngineState state_;
};

// Runs `body` on a worker thread and reports whether it ended by a check point.
class Worker {
 public:
  template <typename Body>
  explicit Worker(Body body)
      : thread_([this, body] {
          try {
            body();
          } catch (WorkerCancelled) {
            cancelled_.store(true);
          }
        }) {}
  ~Worker() {
    if (thread_.joinable()) thread_.join();
  }
  bool Cancelled() {
    if (thread_.joinable()) thread_.join();
    return cancelled_.load();
  }

 private:
  std::atomic<bool> cancelled_{false};
  std::thread thread_;
};

TEST_F(CancelTest, CloseWaitsForTheGuardedSectionInProgressThenEndsTheWorker) {
  std::atomic<bool> inside{false};
  std::atomic<bool> finished{false};
  std::atomic<bool> afterSection{false};
  Worker worker([&] {
    {
      GuardedSection section;
      inside.store(true);
      std::this_thread::sleep_for(150ms);
      finished.store(true);
    }
    afterSection.store(true);
  });
  while (!inside.load()) std::this_thread::sleep_for(1ms);

  RunCloseHandshake();
  // The handshake returned only after the section had done its work.
  EXPECT_TRUE(finished.load());
  EXPECT_TRUE(worker.Cancelled());
  EXPECT_FALSE(afterSection.load());  // ended at the section's exit
  EXPECT_EQ(WorkInProgress.load(), 0);
}

TEST_F(CancelTest, NoSectionStartsAfterTheClose) {
  RunCloseHandshake();
  std::atomic<bool> ran{false};
  Worker worker([&] {
    GuardedSection section;
    ran.store(true);
  });
  EXPECT_TRUE(worker.Cancelled());
  EXPECT_FALSE(ran.load());
  EXPECT_EQ(WorkInProgress.load(), 0);
}

TEST_F(CancelTest, CloseRacingWithManySectionsNeverOverlapsOne) {
  // The worker opens sections back to back; whenever the handshake returns,
  // no section may be running and none may start afterwards.
  for (int round = 0; round < 50; ++round) {
    ResetCancelStateForTesting();
    std::atomic<int> running{0};
    std::atomic<int> startedAfterClose{0};
    std::atomic<bool> closed{false};
    std::atomic<bool> started{false};
    Worker worker([&] {
      for (;;) {
        GuardedSection section;
        started.store(true);
        if (closed.load()) startedAfterClose.fetch_add(1);
        running.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(50 + round * 7));
        running.fetch_sub(1);
      }
    });
    while (!started.load()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::microseconds(round * 13));
    RunCloseHandshake();
    closed.store(true);
    EXPECT_EQ(running.load(), 0) << "round " << round;
    EXPECT_TRUE(worker.Cancelled());
    EXPECT_EQ(startedAfterClose.load(), 0) << "round " << round;
  }
}

TEST_F(CancelTest, StatusCallAfterCloseEndsWorkerWithoutReachingDisplay) {
  testing::RecordingDisplay display;
  testing::ScopedDisplay installed(&display);
  Worker first([] { SetStatusText(u"before"); });
  ASSERT_FALSE(first.Cancelled());

  RunCloseHandshake();
  Worker second([] { SetStatusText(u"after"); });
  EXPECT_TRUE(second.Cancelled());
  Worker third([] { SetFileProgress(50); });
  EXPECT_TRUE(third.Cancelled());
  EXPECT_EQ(display.Calls().size(), 1u);
  EXPECT_EQ(display.Texts(testing::DisplayCall::kStatus), std::vector<std::u16string>{u"before"});
}

TEST_F(CancelTest, UpdatePathStartDropsItsOwnFlagButKeepsAWindowClose) {
  // A stale request without a window close is cleared by the path start.
  CancelRequested.store(1);
  Worker clean([] { StartUpdatePathCancelScope(); });
  EXPECT_FALSE(clean.Cancelled());
  EXPECT_EQ(CancelRequested.load(), 0);

  // A close made by the window stands although the path start clears the flag.
  RunCloseHandshake();
  std::atomic<bool> reached{false};
  Worker closing([&] {
    StartUpdatePathCancelScope();
    reached.store(true);
  });
  EXPECT_TRUE(closing.Cancelled());
  EXPECT_FALSE(reached.load());
}

TEST_F(CancelTest, PureCheckPointEndsWorkerOnlyAfterClose) {
  Worker open([] { LeaveCancelPoint(); });
  EXPECT_FALSE(open.Cancelled());
  RunCloseHandshake();
  Worker closed([] { LeaveCancelPoint(); });
  EXPECT_TRUE(closed.Cancelled());
}

TEST_F(CancelTest, SectionLeftByAnotherExceptionDoesNotThrowTwice) {
  RunCloseHandshake();
  ResetCancelStateForTesting();
  Worker worker([] {
    try {
      GuardedSection section;
      CancelRequested.store(1);  // a close arrives while the section runs
      throw std::runtime_error("file error");
    } catch (const std::runtime_error&) {
      // Unwinding left the section without a second exception.
    }
    LeaveCancelPoint();
  });
  EXPECT_TRUE(worker.Cancelled());
  EXPECT_EQ(WorkInProgress.load(), 0);
}

}  // namespace
}  // namespace launcher
