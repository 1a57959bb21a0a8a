#include <gtest/gtest.h>

#include <string>

#include "base/Fork.h"
#include "base/ProcessToken.h"
#include "baseTest/Children.h"

namespace {

std::string gOrder;
uint32_t gTokenSeen = 0;

// Parts join in any order: before a fork the later phase prepares first,
// after it the earlier phase runs first, in the parent and in the child,
// where the child's token is new by then.
TEST(Fork, PhasesRunInTheTreesOrderWhateverTheOrderOfJoining) {
  ASSERT_TRUE(base::fork_join(base::ForkPhase::telemetry, {.prepare = [] { gOrder += "T"; },
                                                           .parent = [] { gOrder += "t"; },
                                                           .child = [] { gOrder += "t"; }}));
  ASSERT_TRUE(base::fork_join(base::ForkPhase::system, {.prepare = [] { gOrder += "S"; },
                                                        .parent = [] { gOrder += "s"; },
                                                        .child =
                                                            [] {
                                                              gOrder += "s";
                                                              gTokenSeen = base::process_token();
                                                            }}));
  const uint32_t parents = base::process_token();
  gOrder.clear();
  EXPECT_EQ(
      base::testing::inChild([&] {
        return gOrder == "TSst" && gTokenSeen != parents && gTokenSeen == base::process_token() ? 0
                                                                                                : 1;
      }),
      0);
  EXPECT_EQ(gOrder, "TSst");
}

int gJoinedRuns = 0;

// One past the table's room is refused, and a part's join stops the process
// there; those that joined still run.
TEST(Fork, JoiningPastTheRoomIsRefused) {
  unsigned joined = 0;
  while (base::fork_join(base::ForkPhase::telemetry, {.child = [] { ++gJoinedRuns; }})) ++joined;
  EXPECT_LT(joined, base::kForkHandlerCapacity);
  EXPECT_FALSE(base::fork_join(base::ForkPhase::telemetry, {}));
  EXPECT_DEATH(base::fork_join_or_stop(base::ForkPhase::telemetry, {}),
               "Fatal error: the fork registration's table is full.*ForkTest\\.cpp, line");
  EXPECT_EQ(base::testing::inChild([&] { return gJoinedRuns == static_cast<int>(joined) ? 0 : 1; }),
            0);
}

}  // namespace
