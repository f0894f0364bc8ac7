// The lower line's figures and the upper bar by bytes, through the whole
// engine against nginx: what the download handlers and the passes feed them.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "files/string_table.h"
#include "integration/engine/engine_fixture.h"
#include "support/release_keys_scope.h"
#include "support/signed_repo.h"
#include "update/full_check.h"
#include "update/normal_update.h"
#include "update/transfer_figures.h"
#include "update/update_state.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::EngineFixture;
using testing::Release;

// Time moves on by itself as the engine looks at it, so the transfers of a
// loopback server take simulated seconds and show a speed.
class TickingClock : public testing::FakeClock {
 public:
  std::uint32_t TickCount() override {
    Advance(20);
    return FakeClock::TickCount();
  }
};

// The fields of a lower line formatted with "{left}|{speed}|{done}|{total}|{name}".
std::vector<std::vector<std::u16string>> FiguresLines(const std::vector<std::u16string>& details,
                                                      std::u16string_view name) {
  std::vector<std::vector<std::u16string>> out;
  for (const std::u16string& line : details) {
    std::vector<std::u16string> fields;
    std::size_t start = 0;
    for (std::size_t bar; (bar = line.find(u'|', start)) != std::u16string::npos; start = bar + 1)
      fields.push_back(line.substr(start, bar - start));
    fields.push_back(line.substr(start));
    if (fields.size() == 5 && fields[4] == name) out.push_back(fields);
  }
  return out;
}

class TransferFiguresTest : public EngineFixture {
 protected:
  TransferFiguresTest() {
    g_messages[MSG_DETAIL_WITH_FIGURES] = u"{left}|{speed}|{done}|{total}|{name}";
  }
  // The size of the largest file served: the compressed form of big.pak.
  TickingClock clock_;
  testing::ScopedEngineClock scopedClock_{&clock_};
};

// Without a release statement the total is what the transfers announce:
// the line counts big.pak's bytes up to its announced length, with a speed
// and a time left, and ends at "0:00" with every byte done.
TEST_F(TransferFiguresTest, LowerLineCountsTheBytesOfTheFileInHand) {
  Release v1 = {{"big.pak", testing::NoiseBytes(1 << 20, 1)}, {"a.txt", "a"}};
  Release v2 = v1;
  v2["big.pak"] = testing::NoiseBytes(3 << 19, 2);
  v2["b.txt"] = "b";
  Publish(1, v1);
  Publish(2, v2);
  StartServer();
  Install(v1);
  testing::WriteFileBytes(env_.Config("version.sw"), "1\r\n");

  RunNormalUpdate();
  ASSERT_EQ(Installed(), v2);

  // b.txt comes first in the list: the pass's first line shows nothing
  // done yet, and big.pak's lines go on counting from b.txt's bytes.
  const auto first = FiguresLines(Details(), u"b.txt");
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first.front()[2], u"0B") << "shown as the first transfer starts";
  const auto lines = FiguresLines(Details(), u"big.pak");
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.front()[2], first.back()[2]);
  const std::u16string total = lines.back()[3];
  EXPECT_EQ(lines.back()[2], total) << "every announced byte arrived";
  EXPECT_EQ(lines.back()[0], u"0:00");
  EXPECT_EQ(total.back(), u'M');
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& l) {
    return l[1] != u"--" && l[0] != u"--:--" && l[0] != u"0:00";
  })) << "a speed and a time left while the bytes arrive";
  // The apply pass shows the names alone, and the line is cleared at the
  // end, as before.
  EXPECT_EQ(Details().back(), u"");
}

// With a release statement the total is known before anything is fetched,
// and the upper bar of the check pass follows the bytes of the two files'
// transfers: it moves while they arrive, never goes back within the pass,
// and reaches 100 only once every entry is settled. The table here has no
// figures' format: the lower line shows the names alone.
TEST_F(TransferFiguresTest, UpperBarFollowsTheBytesOfAKnownTotal) {
  g_messages[MSG_DETAIL_WITH_FIGURES].clear();
  const Release v3 = {{"a.pak", testing::NoiseBytes(3 << 19, 3)},
                      {"b.pak", testing::NoiseBytes(3 << 19, 4)}};
  testing::SignedRepo repo;
  repo.Publish(3, v3, "3");
  repo.Serve("3", served_);
  testing::ScopedReleaseKeys keys({testing::TestReleasePublicPem(1)});
  StartServer();

  RunFullCheck(0);
  ASSERT_EQ(Installed(), v3);

  const std::vector<int> totals = Totals();
  // The check pass runs up to the install pass's first 0.
  const auto installStart =
      std::find(std::next(std::find(totals.begin(), totals.end(), 100)), totals.end(), 0);
  const std::vector<int> check(totals.begin(), installStart);
  ASSERT_TRUE(std::is_sorted(check.begin(), check.end())) << ::testing::PrintToString(totals);
  const std::vector<int> before100(check.begin(), std::find(check.begin(), check.end(), 100));
  EXPECT_GT(std::set<int>(before100.begin(), before100.end()).size(), 10u)
      << "the bar moves as the bytes arrive";
  for (const std::u16string& detail : Details())
    EXPECT_TRUE(detail == u"a.pak" || detail == u"b.pak" || detail.empty())
        << testing::Narrow(detail);
}

}  // namespace
}  // namespace launcher
