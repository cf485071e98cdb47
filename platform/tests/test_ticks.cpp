#include "platform/Ticks.h"

#include <gtest/gtest.h>

TEST(Ticks, DifferenceIsWrapSafe)
{
    EXPECT_EQ(norvale::ticksSince(0xFFFFFF00u, 0x00000100u), 0x200u);
    EXPECT_EQ(norvale::ticksSince(1000u, 1250u), 250u);
}

TEST(Ticks, SleepAdvancesTheTickCount)
{
    const uint32_t t0 = norvale::tickCount();
    norvale::sleepMs(30);
    EXPECT_GE(norvale::ticksSince(t0, norvale::tickCount()), 29u);
}
