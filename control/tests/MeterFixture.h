#pragma once
// A kest720 talking to the simulated meter over a real pseudo-terminal, at the
// simulator's fast rate unless a test asks otherwise.
#include "platform/AutomationError.h"
#include "platform/Clock.h"
#include "simulator/tests/SimTesting.h"
#include "platform/Ticks.h"
#include "control/kest720.h"

#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

// The server's clock in these tests: it runs with the real one, so the meter
// gets the pauses it needs, until a time-out test makes it instant: then every
// sleep passes at once and moves the clock on, and a silence of seconds takes
// no time at all.
struct TestClock : norvale::platform::ClockSource {
    bool instant = false;
    int64_t offset = 0; // milliseconds ahead of the real clock
    uint32_t tickCount() override
    {
        return norvale::platform::tickCount() + static_cast<uint32_t>(offset);
    }
    QDateTime currentDateTime() override { return QDateTime::currentDateTime().addMSecs(offset); }
    void sleep(int ms) override
    {
        if (instant)
            offset += ms;
        else
            norvale::platform::sleepMs(ms);
    }
};

using norvale::simulator::testing::runFor;
using norvale::simulator::testing::waitFor;

class MeterTest : public ::testing::Test
{
protected:
    void SetUp() override { qputenv("NORVALE_PORTS", ports.path().toLocal8Bit()); }
    void TearDown() override
    {
        k.reset();
        meter.reset();
        qunsetenv("NORVALE_PORTS");
    }

    norvale::simulator::Options
    fast(norvale::simulator::Model model = norvale::simulator::Model::K720,
         norvale::simulator::Units units = norvale::simulator::Units::R)
    {
        return norvale::simulator::testing::fast(ports.path(), 1, model, units);
    }

    // Starts the meter and opens port 1 on it.
    void connectTo(const norvale::simulator::Options &o)
    {
        k.reset();
        meter.reset(); // its link com1 goes with it
        meter = std::make_unique<norvale::simulator::Meter>(o);
        QString error;
        ASSERT_TRUE(meter->start(&error)) << error;
        clock.instant = false;
        k = std::make_unique<kest720>(&norvale::platform::makeQtSerialLink, &clock);
        k->setPort(1);
        k->OpenPort();
    }

    void initialize(const norvale::simulator::Options &o)
    {
        connectTo(o);
        ASSERT_NO_THROW(k->Initialize());
        meter->clearReceived();
    }

    // What `f` did: "" when it returned, "serial" for the serial layer's
    // closed-port error, else the description of the server's own error.
    static QString serverError(const std::function<void()> &f)
    {
        try {
            f();
        } catch (const norvale::platform::AutomationError &e) {
            if (e.source() == norvale::platform::serialerror::source) {
                EXPECT_EQ(e.number(), norvale::platform::serialerror::portNotOpen)
                    << e.description();
                return QStringLiteral("serial");
            }
            EXPECT_EQ(e.number(), norvale::platform::vbObjectError + 1) << e.description();
            EXPECT_EQ(e.source(), "721 Control");
            return e.description();
        }
        return {};
    }

    QTemporaryDir ports;
    TestClock clock;
    std::unique_ptr<norvale::simulator::Meter> meter;
    std::unique_ptr<kest720> k;
};
