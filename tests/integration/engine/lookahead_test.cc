// Helpers reading ahead of the worker change nothing the user or the logs
// see: on the same tree, a run with helpers makes the same display calls and
// writes the same log lines, in the same order, as a run without them. (With
// files fetched ahead, which ones are depends on the helpers' answers, and a
// file fetched ahead moves the lower bar less; so the pass fetches each file
// itself here.)
#include <gtest/gtest.h>

#include "integration/engine/engine_fixture.h"
#include "update/digest_lookahead.h"
#include "update/fetch_ahead.h"
#include "update/full_check.h"
#include "update/incremental_update.h"
#include "update/update_state.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::DisplayCall;
using testing::Release;

// Every file of `release` is installed with its content (unlisted files
// may remain).
bool Holds(const Release& installed, const Release& release) {
  for (const auto& [path, content] : release) {
    const auto found = installed.find(path);
    if (found == installed.end() || found->second != content) return false;
  }
  return true;
}

struct Seen {
  std::vector<std::string> calls;
  std::vector<std::string> log;
};

class LookAheadTest : public testing::EngineFixture {
 protected:
  LookAheadTest() { SetFetchAheadForTesting(false); }
  ~LookAheadTest() override {
    SetLookAheadHelpersForTesting(-1);
    SetFetchAheadForTesting(true);
  }

  // Puts ../patcher/ back to `local` and ../config/patcher/ to nothing but
  // its log, then runs `path` with `helpers` threads ahead of the worker.
  template <typename Path>
  Seen RunWith(int helpers, const Release& local, Path path) {
    fs::remove_all(env_.Patcher());
    Install(local);
    for (const auto& entry : fs::directory_iterator(env_.Config())) {
      if (entry.path().filename() != "update.log") fs::remove_all(entry.path());
    }
    const std::size_t logged = Log().size();
    NewRun();
    SetLookAheadHelpersForTesting(helpers);
    path();
    Seen seen;
    for (const DisplayCall& call : env_.display.Calls()) {
      // The lower bar follows the bytes of a file the worker reads itself;
      // for an answer computed ahead it goes from 0 straight to 100.
      if (call.kind == DisplayCall::kFile && call.percent > 0 && call.percent < 100) continue;
      seen.calls.push_back(std::to_string(call.kind) + " " + testing::Narrow(call.text) + " " +
                           std::to_string(call.percent));
    }
    const std::vector<std::string> log = Log();
    seen.log.assign(log.begin() + static_cast<std::ptrdiff_t>(logged), log.end());
    return seen;
  }
};

// Small files and a few large ones, so helpers are still reading some when
// the worker asks for them.
Release Tree(unsigned seed) {
  Release r = testing::ManyFiles(40, seed);
  for (int i = 0; i < 3; ++i) {
    r["big/b" + std::to_string(i) + ".bin"] =
        testing::NoiseBytes(3u << 20, seed * 10 + static_cast<unsigned>(i));
  }
  return r;
}

TEST_F(LookAheadTest, FullCheckAndIncrementalUpdateShowAndLogTheSameWithHelpers) {
  const Release v1 = Tree(1);
  Release v2 = v1;
  int changed = 0;
  for (auto& [path, content] : v2) {
    if (changed++ % 7 == 0) content += " changed";
  }
  v2.erase(v2.begin());
  v2["new/added.txt"] = "added in 2";
  Publish(1, v1);
  Publish(2, v2);
  StartServer();
  Release local = v1;
  local.erase(std::next(local.begin(), 3));

  const auto fullCheck = [] { RunFullCheck(0); };
  const Seen alone = RunWith(0, local, fullCheck);
  const Seen helped = RunWith(3, local, fullCheck);
  EXPECT_EQ(helped.calls, alone.calls);
  EXPECT_EQ(helped.log, alone.log);
  EXPECT_TRUE(Holds(Installed(), v2));
  EXPECT_GT(alone.log.size(), 40u);

  const auto incremental = [] {
    LocalVersion = 1;
    ServerVersion = 2;
    EXPECT_EQ(RunIncrementalUpdate(), 1);
  };
  const Seen incAlone = RunWith(0, v1, incremental);
  const Seen incHelped = RunWith(2, v1, incremental);
  EXPECT_EQ(incHelped.calls, incAlone.calls);
  EXPECT_EQ(incHelped.log, incAlone.log);
  EXPECT_TRUE(Installed() == v2);
}

}  // namespace
}  // namespace launcher
