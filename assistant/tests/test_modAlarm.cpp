#include "assistant/modAlarm.h"

#include <gtest/gtest.h>
#include <limits>

using namespace norvale::assistant::modAlarm;

namespace
{

// Distinct colours so that every state shows which one was picked.
constexpr int32_t cNormal = 0x010101, cUnAckAlarm = 0x020202, cAckAlarm = 0x030303,
                  cUnAckNormal = 0x040404;

// An episode is a list of steps, "reading state": the reading a number, "nan",
// or "ack" for a press of the acknowledge button; the state after the step, as
// N (acknowledged normal), U (unacknowledged alarm), A (acknowledged alarm) or
// n (unacknowledged normal).
struct Episode {
    const char *legend;
    bool enabled;
    bool useAcknowledge;
    const char *steps;
};

struct Expected {
    enumAlarmState state;
    int32_t color;
};

Expected expected(QChar letter)
{
    switch (letter.unicode()) {
    case 'U':
        return {UnackAlarm, cUnAckAlarm};
    case 'A':
        return {AckAlarm, cAckAlarm};
    case 'n':
        return {UnAckNormal, cUnAckNormal};
    default:
        return {AckNormal, cNormal};
    }
}

} // namespace

TEST(ModAlarm, WholeAlarmEpisodes)
{
    const Episode episodes[] = {
        // The press is seen only at the next reading.
        {"acknowledged during the alarm", true, true, "1 N, 10 U, 12 U, ack U, 11 A, 10 A, 9.99 N"},
        {"falls back before the acknowledgement", true, true, "10 U, 3 n, 3 n, ack n, 3 N"},
        {"leaving and re-entering clears the acknowledgement", true, true,
         "10 U, ack U, 10 A, 5 N, 10 U"},
        {"a reading equal to the point is an alarm", true, true, "9.999999 N, 10 U"},
        {"a reading that is not a number is an alarm", true, true, "nan U"},
        {"without acknowledging, acknowledging changes nothing", true, false,
         "1 N, 10 U, ack U, 50 U, 2 N, 20 U"},
        {"alarm disabled", false, true, "10 N, 1000 N, 1 N"},
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
        for (const QString &step : QString::fromLatin1(e.steps).split(QStringLiteral(", "))) {
            const QString reading = step.section(QLatin1Char(' '), 0, 0);
            const Expected x = expected(step.back());
            const std::string at = std::string(e.legend) + ", step " + step.toStdString();
            if (reading == QLatin1String("ack")) {
                AcknowledgeAlarm();
                EXPECT_EQ(CurrentAlarmState(), x.state) << at;
            } else {
                const double r = reading == QLatin1String("nan")
                                     ? std::numeric_limits<double>::quiet_NaN()
                                     : reading.toDouble();
                EXPECT_EQ(EvaluateAlarm(r), x.state) << at;
                EXPECT_EQ(PreviousAlarmState(), before) << at;
                before = x.state;
            }
            EXPECT_EQ(CurrentAlarmColor(), QVariant(x.color)) << at;
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
