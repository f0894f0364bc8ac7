// The journey of patches, for any launcher (Linux's, or Windows' under
// Wine): release 1 installed by a full check, then release 2 reached three
// ways, each time through the publisher's patches and each of their
// fallbacks, ending every time with release 2 byte for byte:
//   - a normal update killed a third of the way into a patch and run again:
//     the second run resumes the patch (not the whole file) and applies it;
//   - a full check against a tree where, besides a patch that works, the
//     player has edited one installed base, one patch file is damaged and
//     one index line names a wrong result: each of those falls back to the
//     whole file with its log line;
//   - a normal update against a tree whose index was changed after signing:
//     refused whole, every file fetched whole.
// Fails the calling test.
#pragma once

#include "support/headless_program.h"

namespace launcher::testing {

void RunDeltaJourney(const HeadlessProgram& program);

}  // namespace launcher::testing
