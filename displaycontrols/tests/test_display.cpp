// The reading control: number formats, unit labels, message, colours, flash.
#include "displaycontrols/Twips.h"
#include "displaycontrols/kest720Display.h"
#include "displaycontrols/kest720Scale.h"

#include <QLabel>
#include <QTimer>
#include <gtest/gtest.h>

using namespace norvale::displaycontrols;

namespace
{

struct DisplayFixture : ::testing::Test {
    kest720Display d;
    QLabel *label(const char *name) { return d.findChild<QLabel *>(name); }
    kest720Scale *bar() { return d.findChild<kest720Scale *>("kest720Scale1"); }
    PanelShape *shape() { return d.findChild<PanelShape *>("Shape1"); }
    QTimer *timer() { return d.findChild<QTimer *>("Timer1"); }
    void tick() { ASSERT_TRUE(QMetaObject::invokeMethod(&d, "Timer1_Timer")); }
};

} // namespace

TEST(ReadingFormat, PatternByMagnitude)
{
    struct Case {
        float value;
        const char *caption;
    } cases[] = {
        {19.96f, "20.0"},
        {19.94f, "19.9"},
        {20, "20"},
        {99.6f, "100"},
        {1.999f, "2.00"},
        {-0.5f, "-0.50"},
        {0, "0.00"},
        {0.125f, "0.13"},
        {-25, "-25.00"},
        {1e12f, "999999995904"},
        {std::numeric_limits<float>::infinity(), "----"},
        {std::nanf(""), "----"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(formatReading(c.value).toStdString(), c.caption) << c.value;
}

TEST(UnitLabels, LettersCountFromTheSecondCharacter)
{
    struct Case {
        const char *legend;
        const char *units;
        QString prefix, rate;
    } cases[] = {
        {"milliroentgen", " mR/h", "m", "R/h"},
        {"microsievert", " uSv/h", QString(QChar(0xB5)), "Sv/h"},
        {"range text with a number", "5 mR/h", "m", "R/h"},
        {"m at the first position", "mR/h", "", "R/h"},
        {"u at the first position, m after it", "um", "m", ""},
        {"empty", "", "", ""},
        {"dose unit without /h still reads per hour", " mSv", "m", "Sv/h"},
        {"Sv at the first position, R later", "SvR", "", "R/h"},
        {"lower-case r is no unit", " mr/h", "m", ""},
        {"garbage", "#?!", "", ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(unitPrefixLabel(QString::fromUtf8(c.units)), c.prefix) << c.legend;
        EXPECT_EQ(rateUnitLabel(QString::fromUtf8(c.units)), c.rate) << c.legend;
    }
}

TEST_F(DisplayFixture, MessageCoversTheReadingUntilTheNextValue)
{
    d.ShowMessage("Please Wait...");
    EXPECT_FALSE(label("lblMessage")->isHidden());
    EXPECT_EQ(label("lblMessage")->text(), "Please Wait...");
    d.setValue(3);
    EXPECT_TRUE(label("lblMessage")->isHidden());
    EXPECT_EQ(label("lblValue")->text(), "3.0");
    EXPECT_DOUBLE_EQ(bar()->Value(), 3);
}

TEST_F(DisplayFixture, MessageLabelCoversTheThreeReadingLabels)
{
    const QRect message = label("lblMessage")->geometry();
    for (const char *name : {"lblValue", "lblScale", "lblRate"})
        EXPECT_TRUE(message.contains(label(name)->geometry())) << name;
}

TEST_F(DisplayFixture, BackColorReachesEveryPart)
{
    const norvale::ui::OLE_COLOR c = 0x00123456;
    const QColor q(0x56, 0x34, 0x12);
    d.setBackColor(c);
    EXPECT_EQ(shape()->fillColor(), c);
    EXPECT_EQ(bar()->BackColor(), c);
    for (const char *name : {"lblValue", "lblScale", "lblRate", "lblMessage"})
        EXPECT_EQ(label(name)->palette().color(QPalette::Window), q) << name;
    // On screen: the panel, a label and the scale all show the colour.
    d.ShowMessage("");
    const QImage img = d.grab().toImage();
    EXPECT_EQ(img.pixelColor(20, 20), q) << "message line";
    EXPECT_EQ(img.pixelColor(20, 110), q) << "panel below the scale";
    EXPECT_EQ(img.pixelColor(200, 100), q) << "scale";
    EXPECT_EQ(img.pixelColor(227, 120), q) << "outside the panel's corner";
}

TEST_F(DisplayFixture, PanelHasABlackBorderInsideTheControl)
{
    d.setBackColor(0x0000C000);
    const QImage img = d.grab().toImage();
    const QRect r = shape()->geometry();
    EXPECT_EQ(r, QRect(1, 1, 225, 118));
    EXPECT_EQ(img.pixelColor(r.left() + 1, r.center().y()), QColor(Qt::black));
    EXPECT_EQ(img.pixelColor(r.center().x(), r.bottom() - 1), QColor(Qt::black));
    EXPECT_EQ(img.pixelColor(r.left() + 1, r.top() + 1), QColor(0, 192, 0))
        << "the curved corner leaves the square corner open";
}

TEST_F(DisplayFixture, UnitsAndScaleNumberReachThePartsUntilReset)
{
    d.setScaleUnits(" uSv/h");
    EXPECT_EQ(label("lblScale")->text(), QString(QChar(0xB5)));
    EXPECT_EQ(label("lblRate")->text(), "Sv/h");
    for (int n : {6000, -1, 5}) {
        d.setScaleNumber(n);
        EXPECT_EQ(bar()->ScaleNumber(), n);
    }
    d.setValue(4.2f);
    d.ShowMessage("x");
    d.Reset();
    EXPECT_EQ(d.ScaleNumber(), 500);
    EXPECT_EQ(bar()->ScaleNumber(), 500);
    EXPECT_DOUBLE_EQ(bar()->Value(), 0);
    EXPECT_EQ(label("lblValue")->text(), "0.00");
    EXPECT_TRUE(label("lblMessage")->isHidden());
    d.setScaleUnits("");
    EXPECT_EQ(label("lblScale")->text(), "");
    EXPECT_EQ(label("lblRate")->text(), "");
}

TEST_F(DisplayFixture, BorderFlashAlternatesAndStopsBlack)
{
    d.setAlarmColor(norvale::ui::olecolor::Red);
    EXPECT_FALSE(timer()->isActive());
    EXPECT_EQ(timer()->interval(), 250);
    d.Flash(true);
    EXPECT_TRUE(timer()->isActive());
    const norvale::ui::OLE_COLOR expected[] = {
        norvale::ui::olecolor::Black, norvale::ui::olecolor::Red, norvale::ui::olecolor::Black,
        norvale::ui::olecolor::Red};
    for (norvale::ui::OLE_COLOR e : expected) {
        tick();
        EXPECT_EQ(d.BorderColor(), e);
    }
    d.Flash(false);
    EXPECT_FALSE(timer()->isActive());
    EXPECT_EQ(d.BorderColor(), norvale::ui::olecolor::Black);
    // The phase is not reset by Flash: the next tick continues the pattern.
    tick();
    EXPECT_EQ(d.BorderColor(), norvale::ui::olecolor::Black);
    tick();
    EXPECT_EQ(d.BorderColor(), norvale::ui::olecolor::Red);
}
