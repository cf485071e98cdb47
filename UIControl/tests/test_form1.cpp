// The display window: layout, LED pictures painted with magenta transparent,
// flashing, the acknowledge button and the close box.
#include "UIControl/Form1.h"
#include "displaycontrols/kest720Display.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTimer>
#include <gtest/gtest.h>

using namespace norvale::uicontrol;

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
    return norvale::ui::toQColor(norvale::ui::olecolor::SystemButtonFace).toRgb();
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
    EXPECT_FALSE(f.txtAlarm->focusPolicy() & Qt::TabFocus) << "not a tab stop";
    EXPECT_FALSE(f.cmdAlarmAck->isEnabled());
    EXPECT_EQ(f.cmdAlarmAck->text(), "Acknowledge Alarm");
    EXPECT_EQ(f.Timer1->interval(), 250);
    EXPECT_EQ(f.kest720Display1->BackColor(), 0x0000C000u) << "from its stored properties";
}

// The pictures' own shades are the bitmaps' test; here, which picture each
// colour shows, bright then dark, with its corners transparent.
TEST(Form1, EachLedColourShowsItsBrightThenItsDarkPicture)
{
    const std::pair<norvale::ui::OLE_COLOR, int> cases[] = {{norvale::ui::olecolor::Blue, 101},
                                                            {norvale::ui::olecolor::Green, 103},
                                                            {norvale::ui::olecolor::Black, 105},
                                                            {norvale::ui::olecolor::Red, 107},
                                                            {norvale::ui::olecolor::Yellow, 109}};
    for (const auto &[colour, bright] : cases) {
        Form1 f;
        f.setLedColor(colour);
        EXPECT_EQ(f.AlarmColorIndex, bright) << std::hex << colour;
        tick(f); // first tick: bright
        EXPECT_EQ(f.picLed->shownPicture(), bright) << std::hex << colour;
        tick(f); // second tick: dark
        EXPECT_EQ(f.picLed->shownPicture(), bright + 1) << std::hex << colour;
    }
    Form1 f;
    f.setLedColor(norvale::ui::olecolor::Red);
    for (norvale::ui::OLE_COLOR c :
         {0x00808080u, 0x00FFFFFFu, 0x80000008u, 0x000000FEu}) // others: no change
        f.setLedColor(c);
    QImage img = led(f);
    EXPECT_EQ(img.pixelColor(15, 15), QColor(255, 0, 0));
    EXPECT_EQ(img.pixelColor(0, 0), background(f)) << "corner";
    tick(f);
    tick(f);
    EXPECT_EQ(led(f).pixelColor(15, 15), QColor(115, 0, 0)) << "dark";
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
    f.setLedColor(norvale::ui::olecolor::Green);
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
    f.setLedColor(norvale::ui::olecolor::Green);
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

TEST(Form1, OpensInTheTopRightCornerOrWhereItWasLeftWhileThatIsOnAScreen)
{
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const struct {
        const char *legend;
        std::optional<QPoint> stored;
        bool kept;
    } cases[] = {
        {"nothing stored", std::nullopt, false},
        {"a place on the screen", area.topLeft() + QPoint(100, 80), true},
        {"the screen's bottom-right corner", area.bottomRight() - QPoint(60, 30), true},
        {"beyond the right edge", QPoint(area.right() + 50, area.top() + 10), false},
        {"left of the screen", QPoint(area.left() - 400, area.top() + 10), false},
        {"title bar above the screen", QPoint(area.left() + 10, area.top() - 15), false},
        {"a screen that has gone", QPoint(area.right() + 2000, area.bottom() + 2000), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.legend);
        Form1 f;
        f.placeAt(c.stored);
        f.show();
        const QRect frame = f.frameGeometry();
        if (c.kept) {
            EXPECT_EQ(frame.topLeft(), *c.stored);
        } else {
            EXPECT_EQ(frame.topRight(), area.topRight());
            EXPECT_TRUE(area.contains(frame));
        }
        EXPECT_EQ(f.shownPosition(), frame.topLeft());
        f.Unload();
    }
    Form1 never;
    EXPECT_EQ(never.shownPosition(), std::nullopt) << "a window never shown has no place yet";
}
