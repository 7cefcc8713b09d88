// The millisecond time base: wrap-safe differences and delays that never end early.
#include <gtest/gtest.h>

#include <cstdint>

#include "link/clock.h"

namespace {

// Start values are taken relative to now, so the cases that wrap past 2^32
// hold whatever the clock currently reads.
TEST(MsElapsed, ComparesTheUnsignedDifferenceStrictly) {
    struct Case {
        std::uint32_t ago;   // how far before now the start lies
        std::uint32_t duration;
        int expected;
    };
    const Case cases[] = {
        {100, 50, 1},
        {100, 99, 1},
        {100, 5000, 0},
        {100, 0xFFFFFFF0u, 0},           // start + duration overflows
        {0x80000000u, 0x7FFFFFFFu, 1},   // difference does not fit a signed value
        {0, 0xFFFFFFFFu, 0},             // nothing is more than the largest duration
    };
    for (const Case& c : cases) {
        std::uint32_t start = msNow() - c.ago;
        EXPECT_EQ(msElapsed(start, c.duration), c.expected) << c.ago << " ago, " << c.duration;
    }
}

TEST(MsElapsed, ZeroDurationTurnsTrueAtTheNextTick) {
    std::uint32_t start;
    int sameTick;
    do {
        start = msNow();
        sameTick = msElapsed(start, 0);
    } while (msNow() != start);
    EXPECT_EQ(sameTick, 0);
    while (msNow() == start) {
    }
    EXPECT_EQ(msElapsed(start, 0), 1);
}

TEST(MsDelay, NeverReturnsEarly) {
    for (std::uint32_t duration : {0u, 1u, 10u, 100u}) {
        std::uint32_t entry = msNow();
        msDelay(duration);
        EXPECT_GE(msNow() - entry, duration + 1) << duration;
    }
}

// A processor-time clock would stand still while the process sleeps.
TEST(MsSleep, TheClockRunsWhileAsleep) {
    std::uint32_t entry = msNow();
    msSleep(50);
    EXPECT_GE(msNow() - entry, 50u);
}

}   // namespace
