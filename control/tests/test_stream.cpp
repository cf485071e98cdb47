// The live data stream against the simulated meter.
#include "control/tests/MeterFixture.h"

#include <QTimer>

namespace
{
struct Reading {
    double value;
    TYPE_PREFIX prefix;
    TYPE_UNITS unit;
    QString scale;
};

// Collects LiveData and stops the stream (from inside the handler, as a
// client's call would arrive) once `stopAfter` readings have come.
struct Recorder {
    std::vector<Reading> readings;
    int errors = 0;
    bool idle = false;
    Recorder(kest720 &k, size_t stopAfter)
    {
        QObject::connect(&k, &kest720::LiveData, [&k, this, stopAfter](const Measurement &m) {
            readings.push_back({m.Value, m.Prefix, m.Unit, m.UnitString});
            if (readings.size() == stopAfter)
                k.StopLog();
        });
        QObject::connect(&k, &kest720::LiveDataError, [this] { ++errors; });
        QObject::connect(&k, &kest720::idle, [this] { idle = true; });
    }
};
} // namespace

TEST_F(MeterTest, StreamFollowsRangeChanges)
{
    initialize(fast());
    meter->setStreamScript({{0, "0.14"}, {0, "450"}, {1, "1.2"}, {1, "4.9"}, {3, "120"}, {0, "20"}},
                           false);
    Recorder rec(*k, 5);
    k->StartLog();
    ASSERT_TRUE(waitFor([&] { return rec.idle; }, 20000));
    QStringList seen;
    for (const Reading &r : rec.readings)
        seen << QStringLiteral("%1 %2 %3 %4").arg(r.value).arg(r.prefix).arg(r.unit).arg(r.scale);
    // Value, prefix as a power of ten, units (1: roentgen) and the scale it came under.
    EXPECT_EQ(seen, QStringList({"0.14 -6 1 500 uR/h", "450 -6 1 500 uR/h", "1.2 -3 1 5 mR/h",
                                 "4.9 -3 1 5 mR/h", "120 -3 1 500 mR/h"}));
    EXPECT_EQ(rec.errors, 0);
    EXPECT_EQ(k->CurrentScale(), "") << "StopLog empties the scale";
    EXPECT_EQ(meter->state(), norvale::simulator::State::Command)
        << "the meter is back at its prompt";
    EXPECT_EQ(k->linkMode(), LinkMode::linkCommand);
    EXPECT_TRUE(meter->received().startsWith("T")) << "StartLog needs no traffic at the prompt";
    EXPECT_TRUE(meter->received().endsWith(QByteArray(30, ' ')));
}

TEST_F(MeterTest, ReadingsBeforeTheFirstLabelAreDropped)
{
    initialize(fast(norvale::simulator::Model::K720, norvale::simulator::Units::Sv));
    meter->setRawStream("\r\n0.11\r\n0.12\r\n50 uSv/h\r\n13.5\r\n14\r\n7\r\n");
    Recorder rec(*k, 100);
    k->StartLog();
    QTimer::singleShot(2500, [&] { k->StopLog(); });
    ASSERT_TRUE(waitFor([&] { return rec.idle; }, 20000));
    ASSERT_EQ(rec.readings.size(), 2u) << "the last reading waits for a following token";
    EXPECT_DOUBLE_EQ(rec.readings[0].value, 13.5);
    EXPECT_DOUBLE_EQ(rec.readings[1].value, 14);
    EXPECT_EQ(rec.readings[0].scale, "50 uSv/h");
    EXPECT_EQ(rec.readings[0].unit, unitSv);
}

TEST_F(MeterTest, StopThatFollowsTheStartAtOnceTakesEffect)
{
    initialize(fast());
    Recorder rec(*k, 100);
    k->StartLog();
    k->StopLog(); // before the timer's first tick
    runFor(1500);
    EXPECT_FALSE(meter->received().contains('T')) << "the meter was never asked to stream";
    EXPECT_EQ(meter->state(), norvale::simulator::State::Command);
    EXPECT_TRUE(rec.readings.empty());
    EXPECT_FALSE(k->isStreaming());
    // A later start streams again.
    Recorder again(*k, 2);
    k->StartLog();
    ASSERT_TRUE(waitFor([&] { return again.idle; }, 20000));
    EXPECT_EQ(again.readings.size(), 2u);
}

// A second StartLog during a stream re-arms the tick, whose loop then runs
// nested inside the first: the object is idle only when both have returned.
TEST_F(MeterTest, NestedStreamLoopsReportIdleOnceWhenTheOuterLoopReturns)
{
    initialize(fast());
    int readings = 0;
    std::vector<bool> busyAtIdle;
    QObject::connect(k.get(), &kest720::LiveData, [&](const Measurement &) {
        ++readings;
        if (readings == 2)
            k->StartLog();
        if (readings == 5)
            k->StopLog();
    });
    QObject::connect(k.get(), &kest720::idle, [&] { busyAtIdle.push_back(k->isBusy()); });
    k->StartLog();
    ASSERT_TRUE(waitFor([&] { return readings >= 5 && !k->isBusy(); }, 30000));
    runFor(300);
    EXPECT_EQ(busyAtIdle, std::vector<bool>{false}) << "one idle, after the outer loop";
    EXPECT_EQ(meter->state(), norvale::simulator::State::Command);
}

TEST_F(MeterTest, SilenceDuringTheStreamGivesLiveDataError)
{
    initialize(fast());
    Recorder rec(*k, 100);
    QObject::connect(k.get(), &kest720::LiveData, [&] {
        if (rec.readings.size() == 2) {
            meter->setSilent(true);
            clock.instant = true;
        }
    });
    k->StartLog();
    ASSERT_TRUE(waitFor([&] { return rec.idle; }, 40000));
    EXPECT_EQ(rec.errors, 1);
    EXPECT_FALSE(rec.readings.empty()) << "readings came before the silence";
}

TEST_F(MeterTest, DroppedLineDuringTheStreamGivesLiveDataError)
{
    initialize(fast());
    Recorder rec(*k, 100);
    k->StartLog();
    QTimer::singleShot(1200, [&] { meter->dropLine(); });
    ASSERT_TRUE(waitFor([&] { return rec.idle; }, 15000)) << "the loop must end, not hang";
    EXPECT_EQ(rec.errors, 1);
    EXPECT_EQ(serverError([&] { k->StopLog(); }), "serial") << "the serial layer's own error";
}

TEST_F(MeterTest, IntegrationAndDose)
{
    for (const auto units : {norvale::simulator::Units::R, norvale::simulator::Units::Sv}) {
        SCOPED_TRACE(units == norvale::simulator::Units::R ? "roentgen" : "sievert");
        initialize(fast(norvale::simulator::Model::K720, units));
        meter->setDoseRate(units == norvale::simulator::Units::R ? 3.6e6
                                                                 : 3.6e4); // 1 mR/s or 10 uSv/s
        ASSERT_NO_THROW(k->StartIntegrate());
        EXPECT_EQ(k->linkMode(), LinkMode::linkIntegrate);
        runFor(1500);
        // A second start ends the first integration through the blanks.
        meter->clearReceived();
        ASSERT_NO_THROW(k->StartIntegrate());
        EXPECT_TRUE(meter->received().startsWith(QByteArray(30, ' ')));
        EXPECT_TRUE(meter->received().endsWith("CT"));
        runFor(1000);
        const double dose = k->GetDose();
        EXPECT_EQ(meter->state(), norvale::simulator::State::Command);
        EXPECT_NEAR(dose, meter->integratedDose(), 1e-6 + meter->integratedDose() * 1e-3);
        EXPECT_GT(dose, units == norvale::simulator::Units::R ? 0.5 : 5.0)
            << "about a second of integration";
    }
}
