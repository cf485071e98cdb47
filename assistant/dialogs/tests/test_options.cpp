// The options dialog and its blink-alarm conversion, the entry points and what
// every form offers the keyboard and a screen reader (the names themselves,
// the about box and the interval's bounds are the accessibility test's).
#include "assistant/AlarmSound.h"
#include "assistant/dialogs/tests/DialogFixture.h"
#include "assistant/dialogs/SoundChooser.h"
#include "assistant/dialogs/frmAbout.h"
#include "assistant/dialogs/frmDataLog.h"
#include "assistant/dialogs/frmDose.h"
#include "assistant/dialogs/frmOptions.h"

#include <QAccessible>
#include <QCheckBox>
#include <QFile>
#include <QTabWidget>

using namespace norvale::assistant;
using namespace dialogtest;

namespace
{

// The form helper, not the namespace norvale::control that the directive also names.
using dialogtest::control;

using Area = std::array<uint8_t, 16>;
// Offsets of the settings area on a K720 (page D).
constexpr int offPercent = 0x2, offSample = 0xC, offRange = 0xF;

TEST_F(DialogTest, OptionsWhileDisconnectedStoreOnlyTheAssistantsOwnSettings)
{
    // A port beyond COM4 linked in the ports folder, and a stored one that is neither.
    ASSERT_TRUE(QFile::link(meter->slavePath(), ports.filePath(QStringLiteral("com7"))));
    modMain::ComPort = 12;
    modAlarm::ColorAckNormal = 0x123456; // not in the list
    assistant->ShowOptions();
    frmOptions *f = norvale::assistant::options();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->windowTitle(), QStringLiteral("Norvale 721 Assistant for Excel Options"));
    EXPECT_EQ(text(f, "lblSerial"), QStringLiteral("Not Connected!"));
    for (const char *name :
         {"cboUnits", "cboModeButton", "cboLogClear", "txtSample", "chkEnableAlarm", "txtPercent",
          "cboRange", "cmdApplyEEPROM", "cmdClear"})
        EXPECT_FALSE(control<QWidget>(f, name)->isEnabled()) << name;
    auto *port = control<QComboBox>(f, "cboPort");
    EXPECT_TRUE(port->isEnabled());
    QStringList entries;
    for (int i = 0; i < port->count(); ++i)
        entries << port->itemText(i);
    EXPECT_EQ(entries, (QStringList{"COM1", "COM2", "COM3", "COM4", "COM7", "COM12"}));
    EXPECT_EQ(port->currentText(), QStringLiteral("COM12"));
    EXPECT_EQ(text(f, "cboColorAckNormal"), QString()); // nothing selected

    meter->clearReceived();
    choose(f, "cboPort", QStringLiteral("COM7"));
    choose(f, "cboColorUnAckAlarm", QStringLiteral("Green"));
    control<QCheckBox>(f, "chkSound")->setChecked(false);
    click(f, "cmdApply");
    EXPECT_EQ(modMain::ComPort, 7);
    EXPECT_EQ(modAlarm::ColorUnAckAlarm, modAlarm::colorGreen);
    EXPECT_EQ(modAlarm::ColorAckNormal, modAlarm::colorBlack); // no selection stores black
    EXPECT_FALSE(modAlarm::GetPlayAlarmSound());
    // Written to the store at once, not only when the Assistant goes.
    EXPECT_EQ(stored(settings::ComPort).toInt(), 7);
    EXPECT_EQ(stored(settings::ColorUnAckAlarm).toInt(), modAlarm::colorGreen);
    EXPECT_EQ(stored(settings::PlayAlarmSound).toInt(), 0);
    EXPECT_TRUE(meter->received().isEmpty());
    EXPECT_TRUE(takeBoxes().isEmpty());
}

TEST_F(DialogTest, ApplyWritesOnlyWhatChangedIntoTheMetersMemory)
{
    connectMeter();
    assistant->ShowOptions();
    frmOptions *f = norvale::assistant::options();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(text(f, "lblSerial"), QStringLiteral("Serial Number: 1234"));
    EXPECT_FALSE(control<QWidget>(f, "cboPort")->isEnabled());

    const Area before = meter->settingsArea('D');
    meter->clearReceived();
    click(f, "cmdApply");
    EXPECT_TRUE(meter->received().isEmpty()) << meter->received().toStdString();
    EXPECT_EQ(meter->settingsArea('D'), before);

    setText(f, "txtSample", QStringLiteral("10"));
    click(f, "cmdApply");
    Area expected = before;
    expected[offSample] = 10;
    EXPECT_EQ(meter->settingsArea('D'), expected);
    EXPECT_EQ(assistant->Control().SampleRate(), 10);
    EXPECT_FALSE(control<QWidget>(f, "lblMsg")->isVisible());
    EXPECT_TRUE(takeBoxes().isEmpty());

    // The next Apply finds nothing changed again.
    meter->clearReceived();
    click(f, "cmdApply");
    EXPECT_TRUE(meter->received().isEmpty());
}

TEST_F(DialogTest, BadInputIsRefusedBeforeAnythingIsWritten)
{
    connectMeter();
    assistant->ShowOptions();
    frmOptions *f = norvale::assistant::options();
    const struct {
        const char *sample;
        const char *level;
        QString box;
    } cases[] = {
        {"ten", nullptr,
         QStringLiteral("The data log interval must be a whole number from 1 to 255.")},
        {"20", "two", QStringLiteral("The alarm level must be a number.")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sample);
        assistant->ShowOptions(); // activation: the meter's values again
        const Area before = meter->settingsArea('D');
        const int32_t ackColor = modAlarm::ColorAckAlarm;
        choose(f, "cboColorAckAlarm", QStringLiteral("Blue"));
        setText(f, "txtSample", QString::fromLatin1(c.sample));
        if (c.level) {
            control<QCheckBox>(f, "chkEnableAlarm")->setChecked(true);
            setText(f, "txtPercent", QString::fromLatin1(c.level));
        }
        meter->clearReceived();
        click(f, "cmdOK");
        EXPECT_EQ(takeBoxes(), QStringList{c.box});
        EXPECT_TRUE(meter->received().isEmpty());
        EXPECT_EQ(meter->settingsArea('D'), before);
        EXPECT_EQ(modAlarm::ColorAckAlarm, ackColor);
        EXPECT_EQ(norvale::assistant::options(), f); // OK kept the dialog open
    }
}

TEST_F(DialogTest, TheMetersBlinkAlarmIsShownAsALevelWithItsUnit)
{
    connectMeter();
    const struct {
        int16_t range, percent;
        bool checked;
        const char *level, *unit;
    } cases[] = {
        {2, 45, true, "2.25", "mR/h"}, // 45 % of 5 mR/h
        {1, 50, true, "250", "uR/h"},  // the first range is labelled in uR/h
        {3, 0, true, "50", "mR/h"},    // 0 % shows the full scale
        {5, 20, true, "1", "R/h"},     {6, 30, false, "0", "uR/h"}, // No Blink
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.level);
        assistant->Control().setAlarmPercent(c.percent);
        assistant->Control().setAlarmRange(c.range);
        assistant->ShowOptions();
        frmOptions *f = norvale::assistant::options();
        EXPECT_EQ(control<QCheckBox>(f, "chkEnableAlarm")->isChecked(), c.checked);
        EXPECT_EQ(text(f, "txtPercent"), QString::fromLatin1(c.level));
        EXPECT_EQ(text(f, "cboRange"), QString::fromLatin1(c.unit));
        // Shown as read: Apply writes nothing back.
        meter->clearReceived();
        click(f, "cmdApply");
        EXPECT_TRUE(meter->received().isEmpty());
    }
}

TEST_F(DialogTest, ALevelGoesToTheMostSensitiveRangeAboveItOrIsRefused)
{
    connectMeter();
    const QString rangeBox = QStringLiteral(
        "Unable to set the Alarm settings.  The alarm values must fall into a valid range.");
    const struct {
        bool enable;
        const char *level, *unit;
        int range, percent; // written; -1: the bytes stay
        QString box;
        int boxes = 1; // a refused percent is told once per changed alarm control
    } cases[] = {
        {true, "2.5", "mR/h", 2, 50, {}},
        {true, "500", "uR/h", 2, 10, {}}, // not strictly below 500 uR/h: the next range
        {true, "250", "uR/h", 1, 50, {}},
        {true, "0.75", "R/h", 5, 15, {}},
        {true, "499", "uR/h", -1, -1,
         QStringLiteral("The alarm percent value cannot be changed to 100"), 2},
        {true, "5", "R/h", -1, -1, rangeBox}, // at the largest full scale: no range fits
        {true, "0", "mR/h", -1, -1, rangeBox},
        {false, "1", "mR/h", 6, -1, {}}, // off: range 6, percent untouched
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.level << ' ' << c.unit);
        // Start from a known alarm: 10 % of the 50 mR/h range.
        assistant->Control().setAlarmPercent(10);
        assistant->Control().setAlarmRange(3);
        assistant->ShowOptions();
        frmOptions *f = norvale::assistant::options();
        const Area before = meter->settingsArea('D');
        control<QCheckBox>(f, "chkEnableAlarm")->setChecked(c.enable);
        setText(f, "txtPercent", QString::fromLatin1(c.level));
        choose(f, "cboRange", QString::fromLatin1(c.unit));
        click(f, "cmdApply");
        Area expected = before;
        if (c.range > 0)
            expected[offRange] = uint8_t((c.range - 1) << 4);
        if (c.percent >= 0)
            expected[offPercent] = uint8_t(c.percent);
        EXPECT_EQ(meter->settingsArea('D'), expected);
        QStringList expectedBoxes;
        for (int i = 0; !c.box.isEmpty() && i < c.boxes; ++i)
            expectedBoxes << c.box;
        EXPECT_EQ(takeBoxes(), expectedBoxes);
    }
}

TEST_F(DialogTest, UnitsAndModeButtonReachTheMeterAndTheAlarmListFollows)
{
    connectMeter();
    assistant->Control().setAlarmPercent(50);
    assistant->Control().setAlarmRange(2);
    assistant->ShowOptions();
    frmOptions *f = norvale::assistant::options();
    choose(f, "cboUnits", QStringLiteral("Sv"));
    choose(f, "cboModeButton", QStringLiteral("Freeze"));
    click(f, "cmdApply");
    EXPECT_EQ(meter->units(), norvale::simulator::Units::Sv);
    EXPECT_EQ(assistant->Control().ModeButton(), norvale::control::modebuttonFreeze);
    auto *range = control<QComboBox>(f, "cboRange");
    EXPECT_EQ(range->count(), 2);
    // The meter's alarm, range 2 at 50 %, now read in sievert units.
    EXPECT_EQ(text(f, "cboRange"), QStringLiteral("uSv/h"));
    EXPECT_EQ(text(f, "txtPercent"), QStringLiteral("25"));
    EXPECT_TRUE(takeBoxes().isEmpty());
    // Applied again: nothing left to write.
    meter->clearReceived();
    click(f, "cmdApply");
    EXPECT_TRUE(meter->received().isEmpty());
}

TEST_F(DialogTest, SaveToEepromSurvivesAPowerCycleAndClearLogEmptiesTheLog)
{
    connectMeter();
    assistant->ShowOptions();
    frmOptions *f = norvale::assistant::options();
    ASSERT_FALSE(meter->log().empty());
    click(f, "cmdClear");
    ASSERT_TRUE(bustest::waitFor([&] { return meter->log().empty(); }));

    setText(f, "txtSample", QStringLiteral("42"));
    click(f, "cmdApplyEEPROM");
    EXPECT_EQ(meter->savedSettingsArea('D')[offSample], 42);
    meter->powerCycle();
    EXPECT_EQ(meter->settingsArea('D')[offSample], 42);
    EXPECT_FALSE(control<QWidget>(f, "lblMsg")->isVisible());
    EXPECT_TRUE(takeBoxes().isEmpty());
}

TEST_F(DialogTest, TheSoundChooserAssignsTheAlarmAlias)
{
    SoundChooser chooser;
    auto *file = control<QLineEdit>(&chooser, "txtSoundFile");
    file->setText(QStringLiteral("/sounds/siren.wav"));
    chooser.accept();
    EXPECT_EQ(soundFileOfAlias(alarmSoundAlias), QStringLiteral("/sounds/siren.wav"));
    SoundChooser again;
    EXPECT_EQ(control<QLineEdit>(&again, "txtSoundFile")->text(),
              QStringLiteral("/sounds/siren.wav"));
    control<QLineEdit>(&again, "txtSoundFile")->clear();
    again.accept();
    EXPECT_EQ(soundFileOfAlias(alarmSoundAlias), QString());
}

void showEveryForm(kest721Assistant &assistant)
{
    assistant.ShowOptions();
    assistant.ShowProperties();
    assistant.ShowIntegrate();
    assistant.ShowAbout();
}

TEST_F(DialogTest, EachFormIsOneSharedInstanceUnloadedByDisconnect)
{
    connectMeter();
    showEveryForm(*assistant);
    const QList<QWidget *> first = forms();
    for (QWidget *w : first) {
        ASSERT_NE(w, nullptr);
        EXPECT_TRUE(w->isVisible());
        EXPECT_EQ(w->parentWidget(), nullptr);
        EXPECT_FALSE(w->isModal());
    }
    showEveryForm(*assistant);
    EXPECT_EQ(forms(), first);
    assistant->Disconnect();
    EXPECT_EQ(forms(), QList<QWidget *>(first.size(), nullptr));
}

TEST_F(DialogTest, EveryControlIsNamedForScreenReadersAndReachableByTab)
{
    connectMeter();
    showEveryForm(*assistant);
    SoundChooser chooser;
    chooser.show();
    // The list is a variable: a range-for over "forms() << x" would walk a
    // temporary that has already gone.
    QList<QWidget *> all = forms();
    all << &chooser;
    for (QWidget *form : all) {
        SCOPED_TRACE(form->objectName().toStdString());
        if (auto *tabs = form->findChild<QTabWidget *>())
            tabs->setCurrentIndex(0);
        QSet<QWidget *> focusable;
        for (QWidget *w : form->findChildren<QWidget *>()) {
            if (!(w->focusPolicy() & Qt::TabFocus) || w->window() != form)
                continue;
            // What a screen reader hears: the accessible name, else a button's caption.
            EXPECT_FALSE(
                QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name).isEmpty())
                << w->objectName().toStdString();
            focusable.insert(w);
        }
        // Tab goes round every control of the tab shown (and the other tab's
        // controls when that tab is shown).
        QSet<QWidget *> reached;
        QWidget *w = form->nextInFocusChain();
        for (int i = 0; i < 200 && w != form; ++i, w = w->nextInFocusChain())
            if (focusable.contains(w))
                reached.insert(w);
        EXPECT_EQ(reached, focusable);
    }
}

TEST_F(DialogTest, OkWritesWhatFitsBeforeAnAlarmThatFitsNoRangeAndCancelWritesNothing)
{
    connectMeter();
    assistant->ShowOptions();
    frmOptions *f = norvale::assistant::options();
    const Area before = meter->settingsArea('D');
    choose(f, "cboLogClear", QStringLiteral("at turn on and integrate reset"));
    setText(f, "txtSample", QStringLiteral("9"));
    control<QCheckBox>(f, "chkEnableAlarm")->setChecked(true);
    setText(f, "txtPercent", QStringLiteral("7"));
    choose(f, "cboRange", QStringLiteral("R/h"));
    click(f, "cmdOK");
    EXPECT_EQ(takeBoxes(),
              QStringList{QStringLiteral("Unable to set the Alarm settings.  The "
                                         "alarm values must fall into a valid range.")});
    // The interval and the clear-log rule (kept by the meter at offset 0xD), nothing else.
    const Area after = meter->settingsArea('D');
    Area expected = before;
    expected[offSample] = 9;
    EXPECT_NE(after[0xD], before[0xD]);
    expected[0xD] = after[0xD];
    EXPECT_EQ(after, expected);
    EXPECT_EQ(assistant->Control().ClearLogSetting(), norvale::control::clearlogIntegrateReset);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(norvale::assistant::options(), nullptr); // OK closes all the same

    assistant->ShowOptions();
    f = norvale::assistant::options();
    EXPECT_EQ(text(f, "txtSample"), QStringLiteral("9"));
    setText(f, "txtSample", QStringLiteral("33"));
    choose(f, "cboColorAckNormal", QStringLiteral("Red"));
    meter->clearReceived();
    click(f, "cmdCancel");
    EXPECT_TRUE(meter->received().isEmpty());
    EXPECT_NE(modAlarm::ColorAckNormal, modAlarm::colorRed);
    EXPECT_EQ(norvale::assistant::options(), nullptr);
}

} // namespace
