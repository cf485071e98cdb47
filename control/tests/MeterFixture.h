#pragma once
// A kest720 talking to the simulated meter over a real pseudo-terminal, at the
// simulator's fast rate unless a test asks otherwise.
#include "AutomationError.h"
#include "Meter.h"
#include "Ticks.h"
#include "kest720.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

class MeterTest : public ::testing::Test {
protected:
    void SetUp() override { qputenv("NORVALE_PORTS", ports.path().toLocal8Bit()); }
    void TearDown() override
    {
        k.reset();
        meter.reset();
        qunsetenv("NORVALE_PORTS");
    }

    sim721::Options fast(sim721::Model model = sim721::Model::K720,
                         sim721::Units units = sim721::Units::R)
    {
        sim721::Options o;
        o.model = model;
        o.units = units;
        o.portNumber = 1;
        o.portsFolder = ports.path();
        o.charMicros = 50;
        o.readingIntervalMs = 400;
        return o;
    }

    // Starts the meter and opens port 1 on it.
    void connectTo(const sim721::Options &o)
    {
        k.reset();
        meter.reset(); // its link com1 goes with it
        meter = std::make_unique<sim721::Meter>(o);
        QString error;
        ASSERT_TRUE(meter->start(&error)) << error;
        k = std::make_unique<kest720>();
        k->setPort(1);
        k->OpenPort();
    }

    void initialize(const sim721::Options &o)
    {
        connectTo(o);
        ASSERT_NO_THROW(k->Initialize());
        meter->clearReceived();
    }

    // Runs the event loop until `done` or the time is up; returns done().
    static bool runUntil(const std::function<bool()> &done, int timeoutMs)
    {
        const uint32_t t0 = norvale::tickCount();
        while (!done()) {
            if (norvale::ticksSince(t0, norvale::tickCount()) > static_cast<uint32_t>(timeoutMs))
                return false;
            QCoreApplication::processEvents();
            norvale::sleepMs(5);
        }
        return true;
    }

    // The description of the AutomationError that `f` throws ("" when none),
    // after checking that it is the server's own.
    static QString serverError(const std::function<void()> &f)
    {
        try {
            f();
        } catch (const norvale::AutomationError &e) {
            EXPECT_EQ(e.number(), norvale::vbObjectError + 1) << e.description();
            EXPECT_EQ(e.source(), "721 Control");
            return e.description();
        }
        return {};
    }

    QTemporaryDir ports;
    std::unique_ptr<sim721::Meter> meter;
    std::unique_ptr<kest720> k;
};
