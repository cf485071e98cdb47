// Start-up against the simulated meter: model and unit detection, the range
// table, the settings area, and the ways a start-up fails.
#include "MeterFixture.h"

using sim721::Model;
using sim721::Units;

namespace {
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
        QChar page;
        QStringList ranges;
    } cases[] = {
        {"720K roentgen: item 1 rewritten", Model::K720, Units::R, model720K, unitR, 'D',
         {"500 uR/h", "5 mR/h", "50 mR/h", "500 mR/h", "5 R/h", "No Blink"}},
        {"720K sievert: item 1 as printed", Model::K720, Units::Sv, model720K, unitSv, 'D',
         {"5 uSv/h", "50 uSv/h", "500 uSv/h", "5 mSv/h", "50 mSv/h", "No Blink"}},
        {"720M roentgen", Model::M720, Units::R, model720M, unitR, '9',
         {"5 mR/h", "50 mR/h", "500 mR/h", "5 R/h", "50 R/h", "No Blink"}},
        {"720M sievert", Model::M720, Units::Sv, model720M, unitSv, '9',
         {"50 uSv/h", "500 uSv/h", "5 mSv/h", "50 mSv/h", "500 mSv/h", "No Blink"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.legend);
        connectTo(fast(c.model, c.units));
        ASSERT_NO_THROW(k->Initialize());
        EXPECT_TRUE(k->Initialized());
        EXPECT_EQ(k->Model(), c.expectModel);
        EXPECT_EQ(k->Units(), c.expectUnits);
        EXPECT_EQ(k->page(), c.page);
        EXPECT_EQ(displays(*k), c.ranges);
        const Range &last = k->Ranges().Item(k->Ranges().Count());
        EXPECT_EQ(last.CommandIndex, 6);
        EXPECT_EQ(last.ScaleNumber, 0.0f);
        EXPECT_EQ(k->SerialNumber(), "1234");
        EXPECT_EQ(meter->state(), sim721::State::Command) << "left at the command prompt";
        // The settings area was read on the model's page.
        EXPECT_TRUE(meter->received().contains(QByteArray("D") + c.page.toLatin1() + "FD0\r"));
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
    EXPECT_EQ(k->SampleRate(), meter->settingsArea('D')[12]) << "page D keeps the rate at offset 12";
    EXPECT_EQ(k->SerialNumber(), "0705");
    EXPECT_EQ(k->Model(), model720M);
}

TEST_F(MeterTest, SilentMeterFailsAfterThreeAttempts)
{
    connectTo(fast());
    meter->setSilent(true);
    EXPECT_EQ(serverError([&] { k->Initialize(); }), "Unable to start command mode.");
    EXPECT_EQ(meter->received(), "CCC");
    EXPECT_FALSE(k->Initialized());
    EXPECT_EQ(serverError([&] { k->Model(); }), "Not Initialized");
    EXPECT_EQ(serverError([&] { k->SerialNumber(); }), "Not Initialized");
}

TEST_F(MeterTest, ReportWithoutCarriageReturnFails)
{
    connectTo(fast());
    meter->setNoCR(true);
    EXPECT_EQ(serverError([&] { k->Initialize(); }), "Unable to download the ranges.");
    EXPECT_EQ(k->Ranges().Count(), 0);
    EXPECT_FALSE(k->Initialized());
}

TEST_F(MeterTest, MissingDumpLineFails)
{
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
        EXPECT_EQ(meter->state(), sim721::State::Command);
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

TEST_F(MeterTest, PortsThatCannotBeOpenedFailLaterWithTheSerialError)
{
    kest720 unopened;
    EXPECT_EQ(serverError([&] { unopened.Initialize(); }), "Communications port is not open.");

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
        try {
            k0.Initialize();
            ADD_FAILURE() << "Initialize on a closed port succeeded";
        } catch (const norvale::AutomationError &e) {
            EXPECT_EQ(e.number(), norvale::serialerror::portNotOpen);
            EXPECT_EQ(e.source(), norvale::serialerror::source);
        }
        EXPECT_FALSE(k0.Initialized());
    }
}

TEST_F(MeterTest, ClosePortForgetsTheInstrument)
{
    initialize(fast());
    k->ClosePort();
    EXPECT_FALSE(k->Initialized());
    EXPECT_EQ(k->Ranges().Count(), 0);
    EXPECT_NO_THROW(k->ClosePort());
    k->OpenPort();
    ASSERT_NO_THROW(k->Initialize()) << "the port opens again";
}
