// The Display object driving a real window: its alarm state table, Reset, the
// acknowledge path and the window's life.
#include "UIControl/Display.h"
#include "UIControl/Form1.h"
#include "displaycontrols/kest720Display.h"
#include "displaycontrols/kest720Scale.h"

#include <QFontMetricsF>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <gtest/gtest.h>

using namespace norvale::uicontrol;

namespace
{

struct DisplayFixture : ::testing::Test {
    Display d;
    Form1 &f = *d.frm();
    DisplayFixture()
    {
        d.setColorAckNormal(norvale::ui::olecolor::Green);
        d.setColorUnAckAlarm(norvale::ui::olecolor::Red);
        d.setColorAckAlarm(norvale::ui::olecolor::Yellow);
        d.setColorUnAckNormal(norvale::ui::olecolor::Blue);
    }
    QString caption(const char *label) const
    {
        return f.kest720Display1->findChild<QLabel *>(label)->text();
    }
};

} // namespace

TEST_F(DisplayFixture, AlarmStateTable)
{
    struct Case {
        const char *legend;
        int32_t state;
        int led; // bright picture, 0 for "unchanged"
        bool flashing;
        bool buttonEnabledAfter; // starting from a disabled button
    } cases[] = {
        {"unknown: normal colour, steady", StateUnknown, 103, false, false},
        {"acknowledged normal", AckNormal, 103, false, false},
        {"unacknowledged alarm flashes and enables", UnackAlarm, 107, true, true},
        {"acknowledged alarm", AckAlarm, 109, false, false},
        {"unacknowledged normal", UnAckNormal, 101, false, false},
    };
    EXPECT_EQ(d.AlarmState(), StateUnknown) << "a fresh display";
    EXPECT_FALSE(f.isVisible()) << "a fresh display";
    for (const auto &c : cases) {
        d.Reset(); // AckNormal, button disabled, timer off
        f.setLedColor(norvale::ui::olecolor::Black);
        d.setAlarmState(static_cast<enumAlarmState>(c.state));
        EXPECT_EQ(d.AlarmState(), c.state) << c.legend;
        EXPECT_EQ(f.AlarmColorIndex, c.led) << c.legend;
        EXPECT_EQ(f.picLed->shownPicture(), c.led) << c.legend << ": bright picture at once";
        EXPECT_EQ(f.Timer1->isActive(), c.flashing) << c.legend;
        EXPECT_EQ(f.cmdAlarmAck->isEnabled(), c.buttonEnabledAfter) << c.legend;
    }
    f.Timer1->stop();
}

TEST_F(DisplayFixture, UnknownStateValuesChangeNothingAndTheButtonStaysEnabled)
{
    d.setAlarmState(UnackAlarm);
    d.setAlarmState(UnackAlarm);
    for (int32_t s : {5, -1, 99, INT32_MIN}) {
        d.setAlarmState(static_cast<enumAlarmState>(s));
        EXPECT_EQ(f.AlarmColorIndex, 107) << s;
        EXPECT_TRUE(f.Timer1->isActive()) << s;
        EXPECT_TRUE(f.cmdAlarmAck->isEnabled()) << s;
    }
    // Only Reset or a press disables the button again.
    for (auto s : {AckAlarm, UnAckNormal, AckNormal, StateUnknown}) {
        d.setAlarmState(s);
        EXPECT_TRUE(f.cmdAlarmAck->isEnabled()) << s;
        EXPECT_FALSE(f.Timer1->isActive()) << s;
    }
    d.setAlarmState(static_cast<enumAlarmState>(7));
    EXPECT_EQ(f.AlarmColorIndex, 103);
}

TEST_F(DisplayFixture, FlashStopsOnTheBrightPictureOfTheNextColour)
{
    d.setAlarmState(UnackAlarm);
    ASSERT_TRUE(QMetaObject::invokeMethod(&f, "Timer1_Timer"));
    ASSERT_TRUE(QMetaObject::invokeMethod(&f, "Timer1_Timer"));
    ASSERT_EQ(f.picLed->shownPicture(), 108) << "dark red";
    d.setAlarmState(AckAlarm);
    EXPECT_EQ(f.picLed->shownPicture(), 109);
    EXPECT_FALSE(f.Timer1->isActive());
}

TEST_F(DisplayFixture, ColourWithoutPictureKeepsTheLedButTimerAndButtonRulesApply)
{
    d.setAlarmState(AckNormal);
    d.setColorUnAckAlarm(0x00808080);
    d.setAlarmState(UnackAlarm);
    EXPECT_EQ(f.AlarmColorIndex, 103);
    EXPECT_TRUE(f.Timer1->isActive());
    EXPECT_TRUE(f.cmdAlarmAck->isEnabled());
    f.Timer1->stop();
}

TEST_F(DisplayFixture, ColourChangesTakeEffectAtTheNextAssignment)
{
    d.setAlarmState(AckNormal);
    d.setColorAckNormal(norvale::ui::olecolor::Black);
    EXPECT_EQ(d.ColorAckNormal(), norvale::ui::olecolor::Black);
    EXPECT_EQ(f.AlarmColorIndex, 103) << "no repaint on a colour change";
    d.setAlarmState(AckNormal);
    EXPECT_EQ(f.AlarmColorIndex, 105);
}

TEST_F(DisplayFixture, AlarmValueShowsOrHidesTheAlarmLine)
{
    struct Case {
        QString value;
        bool visible;
        QString text;
    } cases[] = {
        {"5 mR/h", true, "Alarm: 5 mR/h"},
        {"", false, "Alarm: "},
        {" ", true, "Alarm:  "},
    };
    f.show();
    for (const auto &c : cases) {
        d.setAlarmValue(c.value);
        EXPECT_EQ(f.txtAlarm->isVisible(), c.visible) << c.value.toStdString();
        EXPECT_EQ(d.AlarmValue(), c.text) << c.value.toStdString();
    }
    // The whole line stays readable, the precise alarm points included.
    for (const QString value : {"5 mR/h", "0.0148 mR/h", "1234.5678 uSv/h"}) {
        d.setAlarmValue(value);
        const QLineEdit *line = f.txtAlarm;
        EXPECT_LE(QFontMetricsF(line->font()).horizontalAdvance(line->text()),
                  line->contentsRect().width())
            << value.toStdString();
        EXPECT_EQ(line->cursorPosition(), 0) << value.toStdString();
    }
}

TEST_F(DisplayFixture, ResetClearsEverythingButTheAlarmLineVisibility)
{
    f.show();
    d.setAlarmValue("5 mR/h");
    d.setAlarmState(UnackAlarm);
    d.setScaleNumber(500);
    d.setUnits(" mSv/h");
    d.setValue(250);
    ASSERT_EQ(caption("lblScale"), "m");
    d.Reset();
    EXPECT_EQ(f.txtAlarm->text(), "");
    EXPECT_TRUE(f.txtAlarm->isVisible()) << "visible and empty";
    EXPECT_FALSE(f.cmdAlarmAck->isEnabled());
    EXPECT_FALSE(f.Timer1->isActive());
    EXPECT_EQ(caption("lblValue"), "0.00");
    EXPECT_EQ(f.kest720Display1->ScaleNumber(), 5);
    EXPECT_EQ(caption("lblScale"), "");
    EXPECT_EQ(caption("lblRate"), "");
    EXPECT_EQ(d.AlarmState(), AckNormal);
    EXPECT_EQ(f.AlarmColorIndex, 103);
}

TEST_F(DisplayFixture, AcknowledgePressedOnceRaisesOneEvent)
{
    QSignalSpy spy(&d, &Display::Acknowledge);
    d.setUseAcknowledge(true);
    d.Show();
    EXPECT_TRUE(f.cmdAlarmAck->isVisible());
    d.setAlarmState(UnackAlarm);
    f.cmdAlarmAck->click();
    f.cmdAlarmAck->click();
    EXPECT_FALSE(f.cmdAlarmAck->isEnabled());
    EXPECT_EQ(spy.count(), 1);
    EXPECT_EQ(d.AlarmState(), UnackAlarm) << "the client decides the next state";
    f.Timer1->stop();
    d.setUseAcknowledge(false);
    EXPECT_FALSE(f.cmdAlarmAck->isVisible());
}

TEST_F(DisplayFixture, CloseBoxHidesAndShowBringsTheSameWindowBack)
{
    d.setUnits(" mR/h");
    d.setValue(7.5);
    d.setAlarmState(AckAlarm);
    d.Show();
    QPointer<Form1> before = d.frm();
    ASSERT_TRUE(f.isVisible());
    d.Show(); // already visible: nothing happens
    EXPECT_TRUE(f.isVisible());
    EXPECT_FALSE(f.close());
    EXPECT_FALSE(f.isVisible());
    ASSERT_FALSE(before.isNull());
    d.setValue(8.25); // the object keeps working while hidden
    d.Show();
    EXPECT_EQ(d.frm(), before.data());
    EXPECT_TRUE(f.isVisible());
    EXPECT_EQ(caption("lblValue"), "8.3");
    EXPECT_EQ(f.AlarmColorIndex, 109);
    d.Hide();
    EXPECT_FALSE(f.isVisible());
    d.Parent(0x1234);
    d.Parent(0);
    EXPECT_FALSE(f.isVisible()) << "Parent changes nothing";
}

TEST(DisplayLife, ReleasingTheObjectClosesItsWindow)
{
    QPointer<Form1> window;
    {
        Display d;
        d.Show();
        window = d.frm();
        ASSERT_TRUE(window->isVisible());
    }
    EXPECT_TRUE(window.isNull());
}
