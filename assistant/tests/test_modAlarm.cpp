#include "modAlarm.h"

#include <gtest/gtest.h>
#include <limits>
#include <vector>

using namespace norvale::modAlarm;

namespace
{

constexpr double Ack = std::numeric_limits<double>::lowest(); // a step that acknowledges

struct Step {
    double reading; // or Ack
    enumAlarmState state;
    int32_t color;
};

struct Episode {
    const char *legend;
    bool enabled;
    bool useAcknowledge;
    std::vector<Step> steps;
};

// Distinct colours so that every state shows which one was picked.
constexpr int32_t cNormal = 0x010101, cUnAckAlarm = 0x020202, cAckAlarm = 0x030303,
                  cUnAckNormal = 0x040404;

} // namespace

TEST(ModAlarm, WholeAlarmEpisodes)
{
    const Episode episodes[] = {
        {"acknowledged during the alarm",
         true,
         true,
         {{1, AckNormal, cNormal},
          {10, UnackAlarm, cUnAckAlarm},
          {12, UnackAlarm, cUnAckAlarm},
          {Ack, UnackAlarm, cUnAckAlarm}, // seen only at the next reading
          {11, AckAlarm, cAckAlarm},
          {10, AckAlarm, cAckAlarm},
          {9.99, AckNormal, cNormal}}},
        {"falls back before the acknowledgement",
         true,
         true,
         {{10, UnackAlarm, cUnAckAlarm},
          {3, UnAckNormal, cUnAckNormal},
          {3, UnAckNormal, cUnAckNormal},
          {Ack, UnAckNormal, cUnAckNormal},
          {3, AckNormal, cNormal}}},
        {"leaving and re-entering clears the acknowledgement",
         true,
         true,
         {{10, UnackAlarm, cUnAckAlarm},
          {Ack, UnackAlarm, cUnAckAlarm},
          {10, AckAlarm, cAckAlarm},
          {5, AckNormal, cNormal},
          {10, UnackAlarm, cUnAckAlarm}}},
        {"a reading equal to the point is an alarm",
         true,
         true,
         {{9.999999, AckNormal, cNormal}, {10, UnackAlarm, cUnAckAlarm}}},
        {"a reading that is not a number is an alarm",
         true,
         true,
         {{std::numeric_limits<double>::quiet_NaN(), UnackAlarm, cUnAckAlarm}}},
        {"without acknowledging, acknowledging changes nothing",
         true,
         false,
         {{1, AckNormal, cNormal},
          {10, UnackAlarm, cUnAckAlarm},
          {Ack, UnackAlarm, cUnAckAlarm},
          {50, UnackAlarm, cUnAckAlarm},
          {2, AckNormal, cNormal},
          {20, UnackAlarm, cUnAckAlarm}}},
        {"alarm disabled",
         false,
         true,
         {{10, AckNormal, cNormal}, {1000, AckNormal, cNormal}, {1, AckNormal, cNormal}}},
    };
    ColorAckNormal = cNormal;
    ColorUnAckAlarm = cUnAckAlarm;
    ColorAckAlarm = cAckAlarm;
    ColorUnAckNormal = cUnAckNormal;
    for (const Episode &e : episodes) {
        SetAlarmPoint(10);
        SetAlarmEnabled(e.enabled);
        SetUseAcknowledge(e.useAcknowledge);
        ResetAlarm();
        EXPECT_EQ(ComputeAlarmState(), AckNormal) << e.legend;
        enumAlarmState before = AckNormal;
        int n = 0;
        for (const Step &s : e.steps) {
            ++n;
            if (s.reading == Ack) {
                AcknowledgeAlarm();
                EXPECT_EQ(CurrentAlarmState(), s.state) << e.legend << ", step " << n;
            } else {
                EXPECT_EQ(EvaluateAlarm(s.reading), s.state) << e.legend << ", step " << n;
                EXPECT_EQ(PreviousAlarmState(), before) << e.legend << ", step " << n;
                before = s.state;
            }
            EXPECT_EQ(CurrentAlarmColor(), QVariant(s.color)) << e.legend << ", step " << n;
        }
    }
}

TEST(ModAlarm, ComputeAlarmStateFollowsTheFlags)
{
    // enabled, alarm point reached, acknowledged, use acknowledge -> state
    struct Case {
        bool enabled, inAlarm, acknowledged, useAck;
        enumAlarmState expected;
    };
    const Case cases[] = {
        {false, true, false, true, AckNormal},   {false, false, false, false, AckNormal},
        {true, true, true, true, AckAlarm},      {true, true, true, false, UnackAlarm},
        {true, true, false, true, UnackAlarm},   {true, true, false, false, UnackAlarm},
        {true, false, true, true, AckNormal},    {true, false, true, false, AckNormal},
        {true, false, false, true, UnAckNormal}, {true, false, false, false, AckNormal},
    };
    for (const Case &c : cases) {
        // Bring the flags there through the operations the Assistant uses.
        SetAlarmEnabled(true);
        SetAlarmPoint(10);
        ResetAlarm();
        EvaluateAlarm(10); // a new alarm clears the acknowledgement
        EvaluateAlarm(c.inAlarm ? 10 : 0);
        if (c.acknowledged)
            AcknowledgeAlarm();
        ASSERT_EQ(InAlarm(), c.inAlarm);
        ASSERT_EQ(Acknowledged(), c.acknowledged);
        SetAlarmEnabled(c.enabled);
        SetUseAcknowledge(c.useAck);
        const enumAlarmState before = CurrentAlarmState();
        EXPECT_EQ(ComputeAlarmState(), c.expected)
            << c.enabled << c.inAlarm << c.acknowledged << c.useAck;
        EXPECT_EQ(CurrentAlarmState(), before) << "ComputeAlarmState changed the state";
    }
}
