// Settings written to the simulated meter: the exact byte in its settings
// area, validation before any traffic, non-volatile memory.
#include "control/tests/MeterFixture.h"

#include <optional>

// Alarm range 4 on a 720K is the recorded conversation alarm-range.txt.
TEST_F(MeterTest, MonitorSettersWriteTheExactByte)
{
    struct Case {
        const char *legend;
        norvale::simulator::Model model;
        std::function<void(kest720 &)> set;
        char page;
        int offset;
        uint8_t byte;
    } cases[] = {
        {"alarm range 6", norvale::simulator::Model::M720, [](kest720 &k) { k.setAlarmRange(6); },
         '9', 15, 0x50},
        {"alarm percent 99", norvale::simulator::Model::M720,
         [](kest720 &k) { k.setAlarmPercent(99); }, '9', 2, 0x63},
        {"alarm percent 0", norvale::simulator::Model::K720,
         [](kest720 &k) { k.setAlarmPercent(0); }, 'D', 2, 0x00},
        {"sample rate 255 on page D", norvale::simulator::Model::K720,
         [](kest720 &k) { k.setSampleRate(255); }, 'D', 12, 0xFF},
        {"sample rate 255 on page 9", norvale::simulator::Model::M720,
         [](kest720 &k) { k.setSampleRate(255); }, '9', 3, 0xFF},
    };
    for (const auto model : {norvale::simulator::Model::K720, norvale::simulator::Model::M720}) {
        initialize(fast(model)); // one start-up per model: the setters follow each other
        for (const Case &c : cases) {
            if (c.model != model)
                continue;
            SCOPED_TRACE(c.legend);
            ASSERT_NO_THROW(c.set(*k));
            EXPECT_EQ(meter->settingsArea(c.page)[c.offset], c.byte);
            EXPECT_EQ(meter->state(), norvale::simulator::State::Monitor);
            EXPECT_EQ(k->linkMode(), LinkMode::linkMonitor);
        }
    }
}

TEST_F(MeterTest, SettersUpdateTheGettersAndTheFlags)
{
    initialize(fast());
    k->setAlarmRange(3);
    k->setAlarmPercent(42);
    k->setSampleRate(60);
    k->setModeButton(modebuttonFreeze);
    k->setClearLogSetting(clearlogIntegrateReset);
    EXPECT_EQ(k->AlarmRange(), 3);
    EXPECT_EQ(k->AlarmPercent(), 42);
    EXPECT_EQ(k->SampleRate(), 60);
    EXPECT_EQ(k->ModeButton(), modebuttonFreeze);
    EXPECT_EQ(k->ClearLogSetting(), clearlogIntegrateReset);
    EXPECT_EQ(meter->settingsArea('D')[13] & 0x13, 0x12);
    k->setModeButton(modebuttonDisabled);
    k->setClearLogSetting(clearlogTurnOnOnly);
    EXPECT_EQ(meter->settingsArea('D')[13] & 0x13, 0x00);
    EXPECT_EQ(meter->state(), norvale::simulator::State::Command);
}

TEST_F(MeterTest, ValidationErrorsSendNothing)
{
    initialize(fast());
    struct Case {
        std::function<void()> set;
        const char *error;
    } cases[] = {
        {[&] { k->setAlarmRange(0); }, "Bad Alarm scale settings"},
        {[&] { k->setAlarmRange(7); }, "Bad Alarm scale settings"},
        {[&] { k->setAlarmPercent(100); }, "Bad Alarm percentage settings"},
        {[&] { k->setAlarmPercent(-1); }, "Bad Alarm percentage settings"},
        {[&] { k->setSampleRate(0); }, "Invalid sample rate value."},
        {[&] { k->setSampleRate(256); }, "Invalid sample rate value."},
        {[&] { k->setUnits(static_cast<TYPE_UNITS>(7)); }, "Invalid units value."},
        {[&] { k->setModeButton(static_cast<TYPE_MODEBUTTON>(3)); },
         "Invalid mode button setting."},
        {[&] { k->setClearLogSetting(static_cast<TYPE_CLEARLOG>(2)); },
         "Invalid clear log setting."},
    };
    const auto before = meter->settingsArea('D');
    for (const Case &c : cases)
        EXPECT_EQ(serverError(c.set), c.error);
    EXPECT_EQ(meter->received(), "");
    EXPECT_EQ(meter->settingsArea('D'), before);
    EXPECT_EQ(k->Units(), unitR);
    k->setUnits(unitR);
    EXPECT_EQ(meter->received(), "") << "the current units send nothing";
}

TEST_F(MeterTest, UnitsSwitchReloadsTheRangesWithoutNewDetection)
{
    initialize(fast());
    k->setUnits(unitSv);
    EXPECT_EQ(meter->units(), norvale::simulator::Units::Sv);
    EXPECT_EQ(k->Units(), unitSv);
    EXPECT_EQ(k->Ranges().Item(1).Display, "5 uSv/h");
    EXPECT_EQ(k->Ranges().Count(), 6);
    EXPECT_EQ(k->Model(), model720K);
    EXPECT_EQ(k->page(), 'D');
    EXPECT_FALSE(meter->received().contains("DFD0")) << "the settings were not read again";
    // Back to roentgen: a 720K reports that range in uR/h, so item 1 must say so.
    k->setUnits(unitR);
    EXPECT_EQ(k->Ranges().Item(1).Display, "500 uR/h");
    EXPECT_EQ(k->Ranges().Item(1).ScaleNumber, 500.0f);
    EXPECT_EQ(k->Ranges().Item(1).ScaleUnits, "uR/h");
}

// The meter only toggles between its systems, and a switch is reported done
// only when its fresh range report shows the new units.
TEST_F(MeterTest, AUnitsSwitchTheMeterDidNotMakeIsAnError)
{
    using norvale::simulator::Units;
    struct Case {
        const char *legend;
        std::function<void()> arrange;
        QString error;
        TYPE_UNITS hostAfter;            // unitUnknown: not initialised, nothing to read
        std::optional<Units> meterAfter; // none: the meter's state is not known
        const char *firstRange;          // nullptr: not checked
    } cases[] = {
        {"a meter that never shows its prompt is not typed at",
         [&] {
             connectTo(fast());
             meter->setSilent(true);
             clock.instant = true;
         },
         "Unable to start command mode.", unitUnknown, Units::R, nullptr},
        // It still acts on the keys it hears, but its report never comes.
        {"the meter falls silent",
         [&] {
             initialize(fast());
             meter->setSilent(true);
         },
         "Unable to download the ranges.", unitR, std::nullopt, nullptr},
        {"the adapter is unplugged",
         [&] {
             initialize(fast());
             meter->dropLine();
         },
         "serial", unitR, Units::R, nullptr},
        // Switched, then left without saving: the meter is back in sievert
        // while the host holds roentgen, so "U" takes it to roentgen.
        {"a meter already in the asked-for units",
         [&] {
             initialize(fast(norvale::simulator::Model::K720, Units::Sv));
             k->setUnits(unitR);
             k->Disconnect(false);
         },
         "Unable to change the units.", unitR, Units::R, "500 uR/h"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.legend);
        c.arrange();
        EXPECT_EQ(serverError([&] { k->setUnits(unitSv); }), c.error);
        if (c.meterAfter) {
            EXPECT_EQ(meter->units(), *c.meterAfter);
        }
        if (c.hostAfter != unitUnknown) {
            EXPECT_EQ(k->Units(), c.hostAfter) << "the host holds the meter's units";
        }
        if (c.firstRange) {
            EXPECT_EQ(k->Ranges().Item(1).Display, c.firstRange);
        }
    }
}

TEST_F(MeterTest, UnitsSwitchOnA720MKeepsTheReportAsPrinted)
{
    initialize(fast(norvale::simulator::Model::M720, norvale::simulator::Units::Sv));
    k->setUnits(unitR);
    EXPECT_EQ(k->Ranges().Item(1).Display, "5 mR/h");
    EXPECT_EQ(k->Model(), model720M);
    EXPECT_EQ(k->page(), '9');
}

TEST_F(MeterTest, DisconnectWithSaveKeepsChangesOverAPowerCycle)
{
    for (const bool save : {true, false}) {
        SCOPED_TRACE(save ? "Save True" : "Save False");
        initialize(fast());
        const auto original = meter->settingsArea('D');
        k->setAlarmPercent(33);
        k->setSampleRate(77);
        k->Disconnect(save);
        const QByteArray last = save ? "E" : "Q";
        EXPECT_TRUE(waitFor([&] { return meter->received().endsWith(last); }, 2000));
        EXPECT_TRUE(k->Initialized()) << "Disconnect leaves closing the port to the client";
        k->ClosePort();
        runFor(1500); // the meter takes an unanswered "E" as yes
        meter->powerCycle();
        k->OpenPort();
        ASSERT_NO_THROW(k->Initialize());
        EXPECT_EQ(k->AlarmPercent(), save ? 33 : original[2]);
        EXPECT_EQ(k->SampleRate(), save ? 77 : original[12]);
    }
}

TEST_F(MeterTest, WriteToEEPROMStoresAndStaysAtThePrompt)
{
    initialize(fast());
    k->setAlarmPercent(21);
    k->WriteToEEPROM();
    EXPECT_EQ(meter->savedSettingsArea('D')[2], 0x15);
    EXPECT_EQ(meter->state(), norvale::simulator::State::Command);
    EXPECT_EQ(k->linkMode(), LinkMode::linkCommand);
}

TEST_F(MeterTest, GettersAndDisconnectNeedInitialize)
{
    connectTo(fast());
    for (auto get : std::initializer_list<std::function<void()>>{
             [&] { k->AlarmRange(); }, [&] { k->AlarmPercent(); }, [&] { k->SampleRate(); },
             [&] { k->Units(); }, [&] { k->ClearLogSetting(); }, [&] { k->ModeButton(); }})
        EXPECT_EQ(serverError(get), "Not Initialized");
    EXPECT_EQ(meter->received(), "");
    // The command-letter setters still talk to an uninitialised meter.
    k->setModeButton(modebuttonIntegrate);
    EXPECT_EQ(meter->settingsArea('D')[13] & 3, 1);
}
