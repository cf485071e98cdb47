// The property bag on its own and as the controls use it.
#include "displaycontrols/PropertyBag.h"
#include "displaycontrols/kest720Display.h"
#include "displaycontrols/kest720Scale.h"

#include <gtest/gtest.h>

using namespace norvale::displaycontrols;

TEST(PropertyBag, NamesMatchWithoutCaseAndDefaultsAreNotStored)
{
    PropertyBag bag;
    bag.WriteProperty("BackColor", 49152LL, 32768LL);
    bag.WriteProperty("Caption", "x", "x");
    EXPECT_EQ(bag.names(), QStringList{"BackColor"});
    EXPECT_EQ(bag.ReadProperty("backcolor").toLongLong(), 49152);
    EXPECT_EQ(bag.ReadProperty("BACKCOLOR", 1).toLongLong(), 49152);
    EXPECT_EQ(bag.ReadProperty("Missing", 7).toInt(), 7);
    // Writing the default drops what was stored.
    bag.WriteProperty("BACKCOLOR", 32768LL, 32768LL);
    EXPECT_TRUE(bag.isEmpty());
}

TEST(PropertyBag, TextRoundTrip)
{
    PropertyBag bag;
    bag.WriteProperty("backcolor", 49152LL);
    bag.WriteProperty("_extentx", 6033LL);
    bag.WriteProperty("Negative", -2147483643LL);
    bag.WriteProperty("Caption", "say \"hi\" = ok");
    bag.WriteProperty("Ratio", 0.25);
    bool ok = false;
    const PropertyBag back = PropertyBag::fromText(bag.toText(), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(back.names(), bag.names());
    for (const QString &n : bag.names())
        EXPECT_EQ(back.ReadProperty(n), bag.ReadProperty(n)) << n.toStdString();
}

TEST(PropertyBag, TextWithGarbageKeepsTheGoodLines)
{
    struct Case {
        const char *legend;
        const char *text;
        bool ok;
        QStringList names;
    } cases[] = {
        {"hexadecimal with and without trailing &", "A = &H0000C000&\nB = &HFF", true, {"A", "B"}},
        {"blank lines and spaces", "\n  A   =   5  \n\n", true, {"A"}},
        {"no equals sign", "A 5\nB = 1", false, {"B"}},
        {"unterminated text", "A = \"abc\nB = 2", false, {"B"}},
        {"stray quote inside", "A = \"a\"b\"", false, {}},
        {"not a number", "A = 12abc", false, {}},
        {"hexadecimal too long", "A = &H123456789", false, {}},
        {"name starting with a digit", "1A = 3", false, {}},
        {"cut off after the equals sign", "A =", false, {}},
    };
    for (const auto &c : cases) {
        bool ok = !c.ok;
        const PropertyBag bag = PropertyBag::fromText(QString::fromUtf8(c.text), &ok);
        EXPECT_EQ(ok, c.ok) << c.legend;
        EXPECT_EQ(bag.names(), c.names) << c.legend;
    }
    EXPECT_EQ(PropertyBag::fromText("A = &H0000C000&").readColor("a", 0), 0xC000u);
}

TEST(PropertyBag, ColoursReadSignedOrUnsignedAndRefuseGarbage)
{
    const PropertyBag bag = PropertyBag::fromText("Sys = -2147483643\nHex = &H80000005\n"
                                                  "Text = \"red\"\nHuge = 99999999999\n"
                                                  "Frac = 2.5\n");
    EXPECT_EQ(bag.readColor("Sys", 1), 0x80000005u);
    EXPECT_EQ(bag.readColor("Hex", 1), 0x80000005u);
    EXPECT_EQ(bag.readColor("Text", 1), 1u);
    EXPECT_EQ(bag.readColor("Huge", 1), 1u);
    EXPECT_EQ(bag.readColor("Missing", 1), 1u);
}

TEST(PropertyBag, DisplayControlSavesInOrderAndLoadsBack)
{
    kest720Display d;
    {
        PropertyBag bag;
        d.setBackColor(0x00008000);
        d.setBorderColor(norvale::ui::olecolor::Black);
        d.setAlarmColor(norvale::ui::olecolor::Red);
        d.WriteProperties(bag);
        EXPECT_TRUE(bag.isEmpty()) << "all three at their defaults";
    }
    d.setBackColor(0x0000C000);
    d.setBorderColor(norvale::ui::olecolor::Blue);
    d.setAlarmColor(norvale::ui::olecolor::Yellow);
    PropertyBag bag;
    d.WriteProperties(bag);
    EXPECT_EQ(bag.names(), (QStringList{"BackColor", "BorderColor", "AlarmColor"}));

    kest720Display back;
    back.ReadProperties(PropertyBag::fromText(bag.toText()));
    EXPECT_EQ(back.BackColor(), 0x0000C000u);
    EXPECT_EQ(back.BorderColor(), norvale::ui::olecolor::Blue);
    EXPECT_EQ(back.AlarmColor(), norvale::ui::olecolor::Yellow);

    // An empty bag gives the defaults.
    back.ReadProperties(PropertyBag());
    EXPECT_EQ(back.BackColor(), 0x00008000u);
    EXPECT_EQ(back.BorderColor(), norvale::ui::olecolor::Black);
    EXPECT_EQ(back.AlarmColor(), norvale::ui::olecolor::Red);
}

TEST(PropertyBag, ScaleControlStoresItsBackColour)
{
    kest720Scale s;
    PropertyBag bag;
    s.setBackColor(norvale::ui::olecolor::White);
    s.WriteProperties(bag);
    EXPECT_TRUE(bag.isEmpty());
    s.setBackColor(0x0000C000);
    s.WriteProperties(bag);
    kest720Scale back;
    back.ReadProperties(bag);
    EXPECT_EQ(back.BackColor(), 0x0000C000u);
    back.ReadProperties(PropertyBag());
    EXPECT_EQ(back.BackColor(), norvale::ui::olecolor::White);
}
