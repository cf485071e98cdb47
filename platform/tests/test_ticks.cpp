#include "platform/Ticks.h"

#include <gtest/gtest.h>

TEST(Ticks, DifferenceIsWrapSafe)
{
    EXPECT_EQ(norvale::platform::ticksSince(0xFFFFFF00u, 0x00000100u), 0x200u);
    EXPECT_EQ(norvale::platform::ticksSince(1000u, 1250u), 250u);
}

TEST(Ticks, SleepAdvancesTheTickCount)
{
    const uint32_t t0 = norvale::platform::tickCount();
    norvale::platform::sleepMs(30);
    EXPECT_GE(norvale::platform::ticksSince(t0, norvale::platform::tickCount()), 29u);
}
