// ScopedEngineState: the engine's process-wide state (the list in
// update/update_state.h) as a fresh process has it, for the lifetime of the
// object, and put back the same way afterwards. Make it before the test
// writes any of that state (a fixture's first member). Main thread, while no
// worker runs.
#pragma once

#include "update/update_state.h"

namespace launcher::testing {

class ScopedEngineState {
 public:
  ScopedEngineState() { ResetEngineStateForTesting(); }
  ~ScopedEngineState() { ResetEngineStateForTesting(); }
  ScopedEngineState(const ScopedEngineState&) = delete;
  ScopedEngineState& operator=(const ScopedEngineState&) = delete;
};

}  // namespace launcher::testing
