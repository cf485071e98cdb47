#include "platform/AutomationError.h"
#include "assistant/tests/LocaleGuard.h"
#include "assistant/modCalc.h"

#include <gtest/gtest.h>
#include <optional>

using namespace norvale::assistant::modCalc;
using norvale::platform::AutomationError;

TEST(ModCalc, NumericPartKeepsDigitsPointsAndCommas)
{
    struct Case {
        const char *legend;
        QString text;
        QString expected;
    };
    const Case cases[] = {
        {"range text", "500 uR/h", "500"},
        {"no digits", "R/h", ""},
        {"comma", "1,5 R/h", "1,5"},
        {"two numbers keep their inner blanks", "10 to 20 mR/h", "10    20"},
        {"blanks and tabs around", "  7\t", "7"},
        {"digits of another script are not digits", QString::fromUtf8("\u0663 mR/h"), ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(NumericPart(c.text), c.expected) << c.legend;
}

TEST(ModCalc, ParseScaleTextFollowsTheUsersLocale)
{
    struct Case {
        const char *legend;
        QLocale locale;
        QString text;
        std::optional<double> expected; // none: Type mismatch
    };
    const Case cases[] = {
        {"micro", englishLocale(), "500 uR/h", 0.0005},
        {"milli sievert", englishLocale(), "50 mSv/h", 0.05},
        {"capital prefix letter", englishLocale(), "50 MSV/H", 0.05},
        {"thousands separator", englishLocale(), "1,000 mR/h", 1.0},
        {"comma decimal", germanLocale(), "1,5 R/h", 1.5},
        {"point as German thousands", germanLocale(), "1.000 uR/h", 0.001},
        {"no digits", englishLocale(), "R/h", std::nullopt},
        {"empty", germanLocale(), "", std::nullopt},
        {"two numbers", englishLocale(), "10 to 20 mR/h", std::nullopt},
    };
    for (const Case &c : cases) {
        LocaleGuard guard(c.locale);
        if (c.expected) {
            EXPECT_DOUBLE_EQ(ParseScaleText(c.text), *c.expected) << c.legend;
        } else {
            try {
                ParseScaleText(c.text);
                ADD_FAILURE() << c.legend << ": no error";
            } catch (const AutomationError &e) {
                EXPECT_EQ(e.number(), 13) << c.legend;
            }
        }
    }
}

TEST(ModCalc, ParseScaleValueReadsTheLeadingNumberInAnyLocale)
{
    struct Case {
        const char *legend;
        QString text;
        double expected;
    };
    const Case cases[] = {
        {"micro", "500 uR/h", 0.0005},
        {"stops at the comma", "1,5 R/h", 1},
        {"no digits", "R/h", 0},
        {"point, milli", "2.5 mR/h", 0.0025},
        {"blanks inside are skipped", "1 000 R/h", 1000},
        {"second point ends the number", "1.2.3 R/h", 1.2},
    };
    for (const QLocale &locale : {englishLocale(), germanLocale()}) {
        LocaleGuard guard(locale);
        for (const Case &c : cases)
            EXPECT_DOUBLE_EQ(ParseScaleValue(c.text), c.expected)
                << c.legend << " in " << locale.name().toStdString();
    }
}

TEST(ModCalc, ToAlarmUnitsGivesMilliroentgenOrMicrosievert)
{
    struct Case {
        const char *legend;
        double value;
        QString unit;
        double expected;
    };
    const Case cases[] = {
        {"roentgen", 0.5, "R/h", 500},
        {"microroentgen", 250, "uR/h", 0.25},
        {"millisievert", 2, "mSv/h", 2000},
        {"bare sievert", 0.002, "Sv/h", 2000},
        {"range text with its number", 250, "500 uR/h", 0.25},
        {"letters in capitals", 2, "MSV/H", 2000},
        {"negative", -1, "mSv/h", -1000},
    };
    for (const Case &c : cases)
        EXPECT_DOUBLE_EQ(ToAlarmUnits(c.value, c.unit), c.expected) << c.legend;
}

TEST(ModCalc, LeadingNumberReadsLikeTheMeterWritesNumbers)
{
    struct Case {
        const char *legend;
        QString text;
        std::optional<double> expected; // none: Overflow
    };
    const Case cases[] = {
        {"sign, point and exponent", "  -2.5e3x", -2500},
        {"exponent without digits", "1e", 1},
        {"leading point", ".5", 0.5},
        {"letters", "abc", 0},
        {"blanks between digits", "1 2 3", 123},
        {"comma ends it", "12,5", 12},
        {"sign alone", "-", 0},
        {"too big", "1e999", std::nullopt},
    };
    for (const Case &c : cases) {
        if (c.expected) {
            EXPECT_DOUBLE_EQ(LeadingNumber(c.text), *c.expected) << c.legend;
        } else {
            EXPECT_THROW(LeadingNumber(c.text), AutomationError) << c.legend;
        }
    }
}

TEST(ModCalc, NumberTextIsShortestAndReadsBack)
{
    struct Case {
        double value;
        const char *english;
        const char *german;
    };
    const Case cases[] = {
        {2.5, "2.5", "2,5"},       {0.0005, "0.0005", "0,0005"},
        {-3.25, "-3.25", "-3,25"}, {0.1 + 0.2, "0.30000000000000004", "0,30000000000000004"},
        {1e20, "1E+20", "1E+20"},
    };
    for (const Case &c : cases) {
        for (const bool german : {false, true}) {
            LocaleGuard guard(german ? germanLocale() : englishLocale());
            const QString text = NumberText(c.value);
            EXPECT_EQ(text, QString::fromLatin1(german ? c.german : c.english)) << c.english;
            double back = -1;
            EXPECT_TRUE(LocaleToDouble(text, &back)) << c.english;
            EXPECT_EQ(back, c.value) << c.english;
        }
    }
}

TEST(ModCalc, TheSystemLocaleIsTheDefault)
{
    // Run once as it comes and once under LC_ALL=de_DE.UTF-8 (see CMakeLists).
    const QLocale system = QLocale::system();
    if (qEnvironmentVariable("LC_ALL").startsWith(QLatin1String("de"))) {
        EXPECT_EQ(system.decimalPoint(), QStringLiteral(","));
    }
    const QString one = QStringLiteral("1") + system.decimalPoint() + QStringLiteral("5 R/h");
    EXPECT_DOUBLE_EQ(ParseScaleText(one), 1.5);
    EXPECT_EQ(NumberText(1.5), QStringLiteral("1") + system.decimalPoint() + QStringLiteral("5"));
}
