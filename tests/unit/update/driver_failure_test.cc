// The worker's last line of defence: an exception other than the cancel one
// must not end the process, and the window must still be asked to close.
#include <gtest/gtest.h>

#include <stdexcept>

#include "seam/cancel.h"
#include "support/engine_state.h"
#include "support/recording_display.h"
#include "support/temp_dir.h"
#include "update/update_driver.h"
#include "update/update_state.h"

namespace launcher {
namespace {

using testing::DisplayCall;

class DriverFailureTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  testing::ScopedCurrentDir cwd_{testing::MakeInstallLayout(dir_.path())};
  testing::ScopedEngineState state_;
  testing::RecordingDisplay display;
  testing::ScopedDisplay installed_{&display};
};

TEST_F(DriverFailureTest, UnexpectedFailureClosesTheWindowWithoutHandOff) {
  display.SetHook([](const DisplayCall& call) {
    if (call.kind == DisplayCall::kStatus) throw std::runtime_error("disk vanished");
  });

  int fullCheck = 0;
  EXPECT_EQ(UpdateThreadProc(&fullCheck), 0);

  const auto calls = display.Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back().kind, DisplayCall::kClose);
  for (const auto& call : calls) EXPECT_NE(call.kind, DisplayCall::kHide);
  EXPECT_EQ(WorkInProgress.load(), 0);
}

TEST_F(DriverFailureTest, UnexpectedFailureAfterAWindowCloseLeavesTheWindowAlone) {
  display.SetHook([](const DisplayCall& call) {
    if (call.kind == DisplayCall::kStatus) {
      WindowClosing.store(1);
      throw std::runtime_error("disk vanished");
    }
  });

  int fullCheck = 0;
  UpdateThreadProc(&fullCheck);
  for (const auto& call : display.Calls()) EXPECT_NE(call.kind, DisplayCall::kClose);
}

}  // namespace
}  // namespace launcher
