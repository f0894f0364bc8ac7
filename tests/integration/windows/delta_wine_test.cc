// Patches end to end with the Windows launcher under Wine: the journey of
// delta_journey.h (mapped files, the resume of a patch, every fallback).
#include <gtest/gtest.h>

#include "integration/servers/delta_journey.h"

namespace launcher::testing {
namespace {

TEST(WineDeltaTest, PatchesResumeApplyAndFallBackToWholeFiles) {
  const HeadlessProgram windows = HeadlessProgram::Windows();
  ASSERT_TRUE(windows.ok());
  RunDeltaJourney(windows);
}

}  // namespace
}  // namespace launcher::testing
