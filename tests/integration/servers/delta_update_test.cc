// Patches end to end with the Linux launcher as a process: the publisher's
// tree served by nginx, the journey of delta_journey.h.
#include <gtest/gtest.h>

#include "integration/servers/delta_journey.h"

namespace launcher::testing {
namespace {

TEST(DeltaUpdateTest, PatchesResumeApplyAndFallBackToWholeFiles) {
  RunDeltaJourney(HeadlessProgram::Linux());
}

}  // namespace
}  // namespace launcher::testing
