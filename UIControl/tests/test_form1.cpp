// The display window: layout, LED pictures painted with magenta transparent,
// flashing, the acknowledge button and the close box.
#include "Form1.h"
#include "Twips.h"
#include "kest720Display.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <gtest/gtest.h>

using namespace norvale;

namespace
{

// The LED as the window shows it.
QImage led(Form1 &f)
{
    return f.picLed->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// What the picture box shows where the LED picture is transparent.
QColor background(Form1 &)
{
    return toQColor(olecolor::SystemButtonFace).toRgb();
}

void tick(Form1 &f)
{
    ASSERT_TRUE(QMetaObject::invokeMethod(&f, "Timer1_Timer"));
}

} // namespace

TEST(Form1, ASmallToolWindowOnTopWithItsControlsInPlace)
{
    Form1 f;
    EXPECT_EQ(f.windowTitle(), "721 Virtual Instrument Display");
    EXPECT_EQ(f.size(), QSize(242, 174));
    EXPECT_EQ(f.minimumSize(), f.maximumSize()) << "fixed size";
    const Qt::WindowFlags flags = f.windowFlags();
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Tool) << "no task-bar button";
    EXPECT_TRUE(flags & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(f.isVisible()) << "created hidden";
    struct Case {
        QWidget *w;
        QRect expected;
    } cases[] = {
        {f.kest720Display1, twips::rect(120, 120, 3420, 1815)},
        {f.txtAlarm, twips::rect(240, 1440, 1455, 375)},
        {f.cmdAlarmAck, twips::rect(360, 2040, 2295, 435)},
        {f.picLed, QRect(200, 136, 30, 30)},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.w->geometry(), c.expected) << c.w->objectName().toStdString();
    EXPECT_FALSE(f.txtAlarm->focusPolicy() & Qt::TabFocus) << "not a tab stop";
    EXPECT_FALSE(f.cmdAlarmAck->isEnabled());
    EXPECT_EQ(f.cmdAlarmAck->text(), "Acknowledge Alarm");
    EXPECT_EQ(f.Timer1->interval(), 250);
    EXPECT_EQ(f.kest720Display1->BackColor(), 0x0000C000u) << "from its stored properties";
}

TEST(Form1, LedShowsBrightAndDarkShadeInTheMiddleAndKeepsItsCorners)
{
    struct Case {
        const char *legend;
        OLE_COLOR colour;
        int bright;
        QColor on, off;
    } cases[] = {
        {"blue", olecolor::Blue, 101, QColor(0, 0, 255), QColor(0, 0, 115)},
        {"green", olecolor::Green, 103, QColor(0, 255, 0), QColor(0, 115, 0)},
        {"black", olecolor::Black, 105, QColor(213, 213, 213), QColor(90, 90, 90)},
        {"red", olecolor::Red, 107, QColor(255, 0, 0), QColor(115, 0, 0)},
        {"yellow", olecolor::Yellow, 109, QColor(255, 255, 0), QColor(115, 115, 0)},
    };
    for (const auto &c : cases) {
        Form1 f;
        f.setLedColor(c.colour);
        EXPECT_EQ(f.AlarmColorIndex, c.bright) << c.legend;
        QImage img = led(f);
        EXPECT_EQ(img.pixelColor(15, 15), c.on) << c.legend;
        for (auto [x, y] : {std::pair{0, 0}, {29, 0}, {0, 29}, {29, 29}})
            EXPECT_EQ(img.pixelColor(x, y), background(f)) << c.legend << " corner";
        tick(f); // first tick: bright
        EXPECT_EQ(led(f).pixelColor(15, 15), c.on) << c.legend << " first tick";
        tick(f); // second tick: dark
        img = led(f);
        EXPECT_EQ(f.picLed->shownPicture(), c.bright + 1) << c.legend;
        EXPECT_EQ(img.pixelColor(15, 15), c.off) << c.legend << " dark";
        EXPECT_EQ(img.pixelColor(0, 0), background(f)) << c.legend << " dark corner";
    }
}

TEST(Form1, OtherColoursLeaveTheLedAsItWas)
{
    Form1 f;
    f.setLedColor(olecolor::Red);
    for (OLE_COLOR c : {0x00808080u, 0x00FFFFFFu, 0x80000008u, 0x000000FEu})
        f.setLedColor(c);
    EXPECT_EQ(f.AlarmColorIndex, 107);
    EXPECT_EQ(led(f).pixelColor(15, 15), QColor(255, 0, 0));
}

TEST(Form1, NoLedBeforeAnyColourEvenWhenFlashingOrRepainted)
{
    Form1 f;
    f.show();
    f.repaint();
    tick(f);
    tick(f);
    tick(f);
    EXPECT_EQ(f.AlarmColorIndex, 0);
    EXPECT_EQ(f.picLed->shownPicture(), 0);
    const QImage img = led(f);
    for (auto [x, y] : {std::pair{15, 15}, {0, 0}})
        EXPECT_EQ(img.pixelColor(x, y), background(f));
}

TEST(Form1, FlashPhaseIsNeverResetButLedColorShowsBrightAtOnce)
{
    Form1 f;
    f.setLedColor(olecolor::Green);
    tick(f); // bright, phase now True
    f.Timer1->stop();
    f.Timer1->start();
    tick(f); // the phase carried over: dark
    EXPECT_EQ(f.picLed->shownPicture(), 104);
    f.show(); // showing paints the bright picture
    EXPECT_EQ(f.picLed->shownPicture(), 103);
    tick(f);
    tick(f);
    ASSERT_EQ(f.picLed->shownPicture(), 104);
    // Any repaint of the window, not only a show, paints the bright picture.
    const QImage window = f.grab().toImage();
    EXPECT_EQ(window.pixelColor(f.picLed->geometry().topLeft() + QPoint(15, 15)),
              QColor(0, 255, 0));
    tick(f);
    tick(f);
    ASSERT_EQ(f.picLed->shownPicture(), 104);
    f.setLedColor(olecolor::Green);
    EXPECT_EQ(f.picLed->shownPicture(), 103);
    f.Timer1->stop();
}

TEST(Form1, CloseBoxHidesButUnloadCloses)
{
    Form1 f;
    f.show();
    EXPECT_FALSE(f.close());
    EXPECT_FALSE(f.isVisible());
    f.show();
    f.Unload();
    EXPECT_FALSE(f.isVisible());
}
