#include <gtest/gtest.h>

#include <array>
#include <climits>

#include "platform/clock.h"
#include "platform/platform.h"

using quillon::platform::Clock;
using quillon::platform::mulDiv;

namespace {

TEST(MulDiv, RoundsHalfAwayFromZeroWithAWideIntermediate) {
    struct Case {
        std::int32_t a, b, c, expected;
    };
    const std::array<Case, 14> cases{{
        {240, 48000, 1000, 11520},
        {5, 48000, 1000, 240},
        {1, 1, 2, 1},   // 0.5 rounds up
        {-1, 1, 2, -1}, // -0.5 rounds away from zero
        {1, -1, 2, -1},
        {1, 1, -2, -1},
        {-1, -1, 2, 1},
        {1, 1, 3, 0},
        {2, 1, 3, 1},
        {-2, 1, 3, -1},
        {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX}, // the product alone overflows 32 bits
        {100000, 100000, 1000, 10000000},
        {0, 12345, 7, 0},
        {7, 3, 1, 21},
    }};
    for (const Case& c : cases) {
        EXPECT_EQ(mulDiv(c.a, c.b, c.c), c.expected) << c.a << "*" << c.b << "/" << c.c;
    }
}

TEST(MulDiv, FailsWithMinusOneOnZeroDivisorAndOverflow) {
    EXPECT_EQ(mulDiv(5, 7, 0), -1);
    EXPECT_EQ(mulDiv(INT32_MAX, 2, 1), -1);
    EXPECT_EQ(mulDiv(INT32_MIN, 1, 1), -1);
    EXPECT_EQ(mulDiv(INT32_MIN, -1, 1), -1);
    EXPECT_EQ(mulDiv(INT32_MIN, INT32_MIN, -1), -1);
}

TEST(Clock, MillisecondFallbackCountsInMilliseconds) {
    Clock clock;
    quillon::platform::chooseClock(clock, true);
    EXPECT_FALSE(clock.usePerformanceCounter);
    EXPECT_EQ(clock.clockFrequency, 1000);

    const std::int64_t t0 = quillon::platform::clockNow(clock);
    quillon::platform::sleepMs(50);
    const std::int64_t elapsed = quillon::platform::clockNow(clock) - t0;
    EXPECT_GE(elapsed, 40);
    EXPECT_LT(elapsed, 5000);
}

TEST(Clock, PerformanceCounterTicksAtItsFrequency) {
    Clock clock;
    quillon::platform::chooseClock(clock);
    ASSERT_TRUE(clock.usePerformanceCounter); // both backends have one
    ASSERT_GT(clock.clockFrequency, 1000);

    const std::int64_t t0 = quillon::platform::clockNow(clock);
    quillon::platform::sleepMs(50);
    const std::int64_t elapsedMs =
        (quillon::platform::clockNow(clock) - t0) * 1000 / clock.clockFrequency;
    EXPECT_GE(elapsedMs, 40);
    EXPECT_LT(elapsedMs, 5000);
}

} // namespace
