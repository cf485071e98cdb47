// Start-up against the simulated meter: model and unit detection, the range
// table, the settings area, and the ways a start-up fails.
#include "control/tests/MeterFixture.h"

using namespace norvale::control;

using norvale::simulator::Model;
using norvale::simulator::Units;

namespace
{
QStringList displays(kest720 &k)
{
    QStringList out;
    for (const Range &r : k.Ranges())
        out << r.Display;
    return out;
}
} // namespace

TEST_F(MeterTest, InitializeRecognisesModelAndUnits)
{
    struct Case {
        const char *legend;
        Model model;
        Units units;
        TYPE_MODEL expectModel;
        TYPE_UNITS expectUnits;
        char page;
        const char *ranges; // the Display of each range, between bars
    } cases[] = {
        {"720K roentgen: item 1 rewritten", Model::K720, Units::R, model720K, unitR, 'D',
         "500 uR/h|5 mR/h|50 mR/h|500 mR/h|5 R/h|No Blink"},
        {"720K sievert: item 1 as printed", Model::K720, Units::Sv, model720K, unitSv, 'D',
         "5 uSv/h|50 uSv/h|500 uSv/h|5 mSv/h|50 mSv/h|No Blink"},
        {"720M roentgen", Model::M720, Units::R, model720M, unitR, '9',
         "5 mR/h|50 mR/h|500 mR/h|5 R/h|50 R/h|No Blink"},
        {"720M sievert", Model::M720, Units::Sv, model720M, unitSv, '9',
         "50 uSv/h|500 uSv/h|5 mSv/h|50 mSv/h|500 mSv/h|No Blink"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.legend);
        connectTo(fast(c.model, c.units));
        ASSERT_NO_THROW(k->Initialize());
        EXPECT_TRUE(k->Initialized());
        EXPECT_EQ(k->Model(), c.expectModel);
        EXPECT_EQ(k->Units(), c.expectUnits);
        EXPECT_EQ(k->page(), c.page);
        EXPECT_EQ(displays(*k).join('|'), c.ranges);
        const Range &last = k->Ranges().Item(k->Ranges().Count());
        EXPECT_EQ(last.CommandIndex, 6);
        EXPECT_EQ(last.ScaleNumber, 0.0f);
        EXPECT_EQ(k->SerialNumber(), "1234");
        EXPECT_EQ(meter->state(), norvale::simulator::State::Command)
            << "left at the command prompt";
        // The settings area was read on the model's page.
        EXPECT_TRUE(meter->received().contains(QByteArray("D") + c.page + "FD0\r"));
    }
}

TEST_F(MeterTest, SettingsAreReadFromTheMetersArea)
{
    connectTo(fast());
    const auto area = meter->settingsArea('D');
    ASSERT_NO_THROW(k->Initialize());
    EXPECT_EQ(k->AlarmRange(), ((area[15] & 0xF0) >> 4) + 1);
    EXPECT_EQ(k->AlarmPercent(), area[2]);
    EXPECT_EQ(k->SampleRate(), area[12]);
    EXPECT_EQ(k->ModeButton(), area[13] & 3);
    EXPECT_EQ(k->ClearLogSetting(), (area[13] & 0x10) ? 1 : 0);
}

TEST_F(MeterTest, PageNineMarkedEmptyIsReadAgainOnPageD)
{
    auto o = fast(Model::M720);
    o.settingsOnPageD = true;
    o.serialNumber = "0705";
    connectTo(o);
    ASSERT_NO_THROW(k->Initialize());
    const QByteArray wire = meter->received();
    EXPECT_LT(wire.indexOf("9FD0\r"), wire.indexOf("DFD0\r")) << "page 9 first, then page D";
    EXPECT_EQ(k->page(), 'D');
    EXPECT_EQ(k->SampleRate(), meter->settingsArea('D')[12])
        << "page D keeps the rate at offset 12";
    EXPECT_EQ(k->SerialNumber(), "0705");
    EXPECT_EQ(k->Model(), model720M);
}

TEST_F(MeterTest, SilentMeterFailsAfterThreeAttempts)
{
    connectTo(fast());
    meter->setSilent(true);
    clock.instant = true;
    EXPECT_EQ(serverError([&] { k->Initialize(); }), "Unable to start command mode.");
    EXPECT_TRUE(waitFor([&] { return meter->received() == "CCC"; }, 5000)) << meter->received();
    EXPECT_FALSE(k->Initialized());
    EXPECT_EQ(serverError([&] { k->Model(); }), "Not Initialized");
    EXPECT_EQ(serverError([&] { k->SerialNumber(); }), "Not Initialized");
}

TEST_F(MeterTest, ARangeReportWithoutCarriageReturnOrAMissingDumpLineFails)
{
    connectTo(fast());
    meter->setNoCR(true);
    EXPECT_EQ(serverError([&] { k->Initialize(); }), "Unable to download the ranges.");
    EXPECT_EQ(k->Ranges().Count(), 0);
    EXPECT_FALSE(k->Initialized());

    connectTo(fast());
    meter->setNoDumpLine(true);
    EXPECT_EQ(serverError([&] { k->Initialize(); }), "Unable to get the alarm settings");
    EXPECT_FALSE(k->Initialized());
}

TEST_F(MeterTest, MeterFoundStreamingIsBroughtBackToItsPrompt)
{
    for (const bool withoutPause : {false, true}) {
        SCOPED_TRACE(withoutPause ? "streaming without pause" : "streaming");
        auto o = fast();
        o.startStreaming = true;
        o.readingIntervalMs = 100;
        connectTo(o);
        meter->setStreamWithoutPause(withoutPause);
        ASSERT_NO_THROW(k->Initialize());
        EXPECT_EQ(k->Model(), model720K);
        EXPECT_EQ(meter->state(), norvale::simulator::State::Command);
    }
}

TEST_F(MeterTest, GarbageAndCutRepliesDoNotDisturbTheStartUp)
{
    connectTo(fast(Model::M720, Units::Sv));
    meter->setGarbage(true);
    meter->setCutReplies(120);
    ASSERT_NO_THROW(k->Initialize());
    EXPECT_EQ(k->Model(), model720M);
    EXPECT_EQ(k->SerialNumber(), "1234");
}

// Every writable property and every method of an object whose port was never
// opened, and of one whose port object could not be made: an error, never a crash.
TEST_F(MeterTest, EveryMemberWithoutAnOpenPortFailsWithAnError)
{
    const QString serial = QStringLiteral("serial");
    const QString none;
    const QString notInit = QStringLiteral("Not Initialized");
    const QString noCmd = QStringLiteral("Unable to start command mode.");
    struct Case {
        const char *legend;
        std::function<void(kest720 &)> call;
        QString closedPort; // the port object exists, OpenPort was never called
        QString noPort;     // the port object could not be made
    };
    const Case cases[] = {
        {"Ranges", [](kest720 &k) { k.setRanges(norvale::control::Ranges()); }, none, none},
        {"Initialized", [](kest720 &k) { k.setInitialized(false); }, none, none},
        {"Port", [](kest720 &k) { k.setPort(3); }, none, none},
        {"AutoScaleEnable", [](kest720 &k) { k.setAutoScaleEnable(true); }, none, none},
        {"AutoScale", [](kest720 &k) { k.setAutoScale(prefixKilo); }, none, none},
        {"CurrentScale", [](kest720 &k) { k.setCurrentScale("5 mR/h"); }, none, none},
        {"Initialize", [](kest720 &k) { k.Initialize(); }, serial,
         "Communications port is not open."},
        {"StartLog", [](kest720 &k) { k.StartLog(); }, serial, noCmd},
        {"StopLog", [](kest720 &k) { k.StopLog(); }, serial, noCmd},
        {"StartIntegrate", [](kest720 &k) { k.StartIntegrate(); }, serial, noCmd},
        {"ClearLog", [](kest720 &k) { k.ClearLog(); }, serial, noCmd},
        {"AlarmRange", [](kest720 &k) { k.setAlarmRange(2); }, serial,
         "Unable to set memory location."},
        {"AlarmPercent", [](kest720 &k) { k.setAlarmPercent(20); }, serial,
         "Unable to set the memory location."},
        {"StartLogDownload", [](kest720 &k) { k.StartLogDownload(); }, serial,
         "Unable to start command mode"},
        {"SampleRate", [](kest720 &k) { k.setSampleRate(30); }, serial,
         "Unable to set memory location."},
        {"Units", [](kest720 &k) { k.setUnits(unitSv); }, serial, noCmd},
        {"ClearLogSetting", [](kest720 &k) { k.setClearLogSetting(clearlogIntegrateReset); },
         serial, "Unable to start command mode"},
        {"ModeButton", [](kest720 &k) { k.setModeButton(modebuttonFreeze); }, serial,
         "Unable to set mode button."},
        {"WriteToEEPROM", [](kest720 &k) { k.WriteToEEPROM(); }, serial, noCmd},
        {"Disconnect", [](kest720 &k) { k.Disconnect(true); }, notInit, notInit},
        {"GetDose", [](kest720 &k) { k.GetDose(); }, notInit, notInit},
        {"ClosePort", [](kest720 &k) { k.ClosePort(); }, none, none},
    };
    for (const Case &c : cases) {
        kest720 closed;
        EXPECT_EQ(serverError([&] { c.call(closed); }), c.closedPort) << c.legend;
        kest720 absent([] { return std::unique_ptr<norvale::platform::SerialLink>(); });
        EXPECT_EQ(serverError([&] { c.call(absent); }), c.noPort) << c.legend;
    }
}

TEST_F(MeterTest, PortsThatCannotBeOpenedFailLaterWithTheSerialError)
{
    for (const char *legend : {"port 0", "link to a missing device"}) {
        SCOPED_TRACE(legend);
        kest720 k0;
        if (QString(legend) == "port 0") {
            k0.setPort(0);
        } else {
            QFile::link(ports.filePath("no-such-tty"), ports.filePath("com7"));
            k0.setPort(7);
        }
        EXPECT_NO_THROW(k0.OpenPort());
        EXPECT_EQ(serverError([&] { k0.Initialize(); }), "serial");
        EXPECT_FALSE(k0.Initialized());
    }
}

TEST_F(MeterTest, ClosePortForgetsTheInstrument)
{
    kest720 neverOpened;
    norvale::control::Ranges table;
    table.Add("mR/h", 5, 1, "5 mR/h");
    neverOpened.setRanges(table);
    neverOpened.setInitialized(true);
    neverOpened.ClosePort();
    EXPECT_EQ(neverOpened.Ranges().Count(), 0);
    EXPECT_FALSE(neverOpened.Initialized());

    initialize(fast());
    k->ClosePort();
    EXPECT_FALSE(k->Initialized());
    EXPECT_EQ(k->Ranges().Count(), 0);
    EXPECT_NO_THROW(k->ClosePort());
    k->OpenPort();
    ASSERT_NO_THROW(k->Initialize()) << "the port opens again";
}
