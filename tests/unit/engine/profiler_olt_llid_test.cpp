// The automatic base LLIDs: the values per seed, the skip past a configured
// value of the other port, and the seed's cycle.
#include "engine/profiler_olt.h"

#include <gtest/gtest.h>

namespace {

TEST(OltBaseLlid, AutomaticValuesAndSkips)
{
    struct llid_case {
        const char *name;
        uint16_t seed;
        int port;
        uint16_t other;
        uint16_t value;
        uint16_t seed_after;
    } cases[] = {
        {"seed 0 port 0", 0, 0, 0, 0x1000, 0},
        {"seed 0 port 1", 0, 1, 0, 0x1200, 0},
        {"seed 1 port 0", 1, 0, 0, 0x1400, 1},
        {"seed 27 port 1, the last", 27, 1, 0, 0x7E00, 27},
        {"collision skips one seed", 4, 0, 0x2000, 0x2400, 5},
        {"no collision with another value", 4, 0, 0x2200, 0x2000, 4},
        {"collision at the top restarts at the bottom", 27, 1, 0x7E00, 0x1200, LLID_SEED_SKIP},
        {"collision at the top, port 0", 27, 0, 0x7C00, 0x1000, LLID_SEED_SKIP},
    };
    for (const auto &c : cases) {
        uint16_t seed = c.seed;
        EXPECT_EQ(profiler_olt_auto_llid(&seed, c.port, c.other), c.value) << c.name;
        EXPECT_EQ(seed, c.seed_after) << c.name;
    }
}

TEST(OltBaseLlid, SeedRunsZeroToTwentySevenAndWraps)
{
    uint16_t seed = 0;
    for (int i = 0; i < 27; i++)
        seed = profiler_olt_next_seed(seed);
    EXPECT_EQ(seed, 27);
    EXPECT_EQ(profiler_olt_next_seed(27), 0);
    EXPECT_EQ(profiler_olt_next_seed(LLID_SEED_SKIP), 0);
}

} // namespace
