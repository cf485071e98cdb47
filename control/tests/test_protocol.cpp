// The meter's protocol without a port: tables of replies and what the parsers
// make of them, garbage and cut replies among them.
#include "platform/AutomationError.h"
#include "control/Protocol.h"

#include <gtest/gtest.h>

using namespace proto;

namespace {
QString S(const char *s) { return QString::fromLatin1(s); }
} // namespace

TEST(RangeReport, TableOfReports)
{
    struct Case {
        const char *legend;
        const char *reply;
        QStringList displays; // expected Display of each range, in order
    } cases[] = {
        {"720K roentgen report with skipped lines and status",
         "R\r\n1  0.5 mR/h \r\n2  5 mR/h \r\n3  50 mR/h \r\n4  500 mR/h \r\n5  5 R/h \r\n"
         "6  Integrate \r\n7  Microroentgen \r\nStatus\r\n12.5 mR integrated\r\n\r\nCMD?",
         {"0.5 mR/h", "5 mR/h", "50 mR/h", "500 mR/h", "5 R/h"}},
        {"number ends at a lower-case m without a blank", "R\r\n1  0.5mR/h \r\n",
         {"0.5 mR/h"}},
        {"numeric third word is dropped", "R\r\n2  5 mR/h 100\r\n", {"5 mR/h"}},
        {"other third word is appended to the unit", "R\r\n2  5 uSv /h\r\n", {"5 uSv/h"}},
        {"first line starts with a letter", "R\r\nRanges:\r\n1  0.5 mR/h \r\n", {}},
        {"Micro with a capital M is skipped", "R\r\n1  Micro R \r\n2  5 mR/h \r\n", {"5 mR/h"}},
        {"int in any case is skipped", "R\r\n1  INTerval 60 \r\n2  5 mR/h \r\n", {"5 mR/h"}},
        {"a last line without CR ends the table before it",
         "R\r\n1  0.5 mR/h \r\n2  5 mR/", {"0.5 mR/h"}},
        {"a number that is not a number skips its line", "R\r\n1  abc R/h \r\n2  5 R/h \r\n",
         {"5 R/h"}},
        {"a one-word line swallows the next line", "R\r\n1  Skip \r\n2  5 mR/h \r\n3  50 mR/h \r\n",
         {"50 mR/h"}},
        {"garbage after the echo", "R\r\n\x01\xff~~\r\n", {}},
        {"only the echo line", "R\r\n", {}},
    };
    for (const Case &c : cases) {
        const auto table = ParseRangeReport(S(c.reply));
        ASSERT_TRUE(table.has_value()) << c.legend;
        QStringList displays;
        for (const Range &r : *table)
            displays << r.Display;
        EXPECT_EQ(displays, c.displays) << c.legend;
    }
}

TEST(RangeReport, FieldsOfALine)
{
    const auto table = ParseRangeReport(S("R\r\n1  0.5 mR/h \r\n4  50 uSv/h \r\n"));
    ASSERT_TRUE(table && table->size() == 2);
    EXPECT_EQ((*table)[0], (Range{"0.5 mR/h", 1, 0.5f, "mR/h"}));
    EXPECT_EQ((*table)[1], (Range{"50 uSv/h", 4, 50.0f, "uSv/h"}));
}

TEST(RangeReport, NoCarriageReturnIsABadResponse)
{
    for (const char *reply : {"", "R", "R\n1  0.5 mR/h \n2  5 mR/h \n"})
        EXPECT_FALSE(ParseRangeReport(S(reply)).has_value()) << reply;
}

TEST(MemoryDump, TableOfReplies)
{
    struct Case {
        const char *legend;
        const char *reply;
        QStringList bytes; // expected list, trailing empty entry included
    } cases[] = {
        {"echo and dump line",
         "DDFD0\r\nDFD0 00 01 2A 03 12 34 06 07 08 09 0A 0B 3C 12 0E 30 \r\n",
         {"00", "01", "2A", "03", "12", "34", "06", "07", "08", "09", "0A", "0B", "3C", "12", "0E",
          "30", "\r\n", ""}},
        {"last byte straight before CR", "D9FD0\r\n9FD0 00 FF\r\n", {"00", "FF", ""}},
        {"address only once (no dump line)", "D9FD0\r\n*", {""}},
        {"address absent", "garbage", {""}},
        {"dump line cut after the address", "DDFD0\r\nDFD0", {""}},
        {"dump line cut inside a byte", "DDFD0\r\nDFD0 1", {""}},
    };
    for (const Case &c : cases) {
        const QString address = QString::fromLatin1(c.reply).contains("9FD0") ? "9FD0" : "DFD0";
        QStringList bytes{QString()};
        ParseMemoryDump(address, S(c.reply), bytes);
        EXPECT_EQ(bytes, c.bytes) << c.legend;
    }
}

TEST(HexToInt, ConvertsOrRaisesTheConversionError)
{
    EXPECT_EQ(HexToInt("3F "), 63);
    EXPECT_EQ(HexToInt(" 00"), 0);
    EXPECT_EQ(HexToInt("ff"), 255);
    EXPECT_EQ(HexToInt("DD"), 221);
    for (const char *bad : {"", "  ", "G1", "0F\r", "1 2", "\n"}) {
        try {
            HexToInt(S(bad));
            ADD_FAILURE() << "no error for [" << bad << "]";
        } catch (const norvale::platform::AutomationError &e) {
            EXPECT_EQ(e.number(), 13) << bad;
            EXPECT_EQ(e.description(), "Type mismatch");
        }
    }
}

TEST(Prefix, ParsePrefixAndToPrefix)
{
    struct {
        const char *text;
        TYPE_PREFIX prefix;
    } cases[] = {{"mR/h", prefixMilli}, {"uSv/h", prefixMicro}, {"R/h", prefixOne},
                 {"micro", prefixMicro}, {"MR/h", prefixMilli}, {"500 uR/h", prefixMicro},
                 {"kR/h", prefixKilo}, {"Sv/h", prefixOne}, {"", prefixOne}};
    for (const auto &c : cases)
        EXPECT_EQ(ParsePrefix(S(c.text)), c.prefix) << c.text;

    Measurement m;
    m.Value = 0.25;
    m.Prefix = prefixMilli;
    m.UnitString = "mR/h";
    EXPECT_DOUBLE_EQ(m.ToPrefix(prefixMicro).Value, 250);
    EXPECT_EQ(m.Prefix, prefixMicro);
    EXPECT_EQ(m.UnitString, "mR/h");
    Measurement n;
    n.Value = 500;
    n.Prefix = prefixMicro;
    EXPECT_DOUBLE_EQ(n.ToPrefix(prefixOne).Value, 0.0005);
}

TEST(Dose, TableOfReports)
{
    struct {
        const char *reply;
        double dose;
    } cases[] = {
        {"R\r\n1  0.5 mR/h \r\nStatus\r\n12.5 mR integrated\r\nCMD?", 12.5},
        {"R\r\n3 R integrated\r\n", 3000},
        {"R\r\n40 micro Sv integrated\r\n", 40},
        {"R\r\n2 mSv integrated\r\n", 2000},
        {"R\r\n1 Sv integrated\r\n", 1e6},
        {"R\r\n250 micro R integrated\r\n", 0.25},
        {"12.5 mR integrated", 0},           // no LF before: 0, no error
        {"R\r\nmR INTEGRATED\r\n", 0},       // no number
        {"R\r\n\n0.75 mR Integrated\r\n", 0.75},
    };
    for (const auto &c : cases) {
        const auto dose = ParseDose(S(c.reply));
        ASSERT_TRUE(dose.has_value()) << c.reply;
        EXPECT_NEAR(*dose, c.dose, 1e-9 * std::max(1.0, c.dose)) << c.reply;
    }
    EXPECT_FALSE(ParseDose(S("R\r\n1  0.5 mR/h \r\nCMD?")).has_value());
}

TEST(LiveStream, FilterAndUnitCharacters)
{
    EXPECT_EQ(FilterLiveChars(S("T\r\n500 uR/h\r\n0.14\r\n")), S(" 500 uR/h 0.14 "));
    EXPECT_EQ(FilterLiveChars(S("CMD?\x01\tx")), S("M"));
    EXPECT_EQ(FilterLiveChars(S("-1.5E-3")), S("-1.5E-3")) << "signs and exponents are kept";
    for (char c : std::string("uUMmRrSsVv/Hh"))
        EXPECT_TRUE(IsUnitChar(QChar(c))) << c;
    for (char c : std::string("0.9 eET"))
        EXPECT_FALSE(IsUnitChar(QChar(c))) << c;
}

namespace {
// Runs tokenizer passes until one consumes nothing; returns the readings as
// "value@scale" and leaves buf and scale as the passes left them.
QStringList tokenize(QString &buf, QString &scale, int maxPasses = 100)
{
    QStringList out;
    for (int i = 0; i < maxPasses; ++i)
        if (!TokenizePass(buf, scale, [&](double v) { out << QString::number(v) + "@" + scale; }))
            break;
    return out;
}
} // namespace

TEST(LiveStream, TokenizerTable)
{
    struct Case {
        const char *legend;
        const char *scaleBefore;
        const char *buf;
        QStringList readings;
        const char *scaleAfter;
        const char *bufAfter;
    } cases[] = {
        {"readings then a label then a held-back reading", "5 mR/h", " 0.14 500 uR/h 0.15 ",
         {"0.14@5 mR/h"}, "500 uR/h", " 0.15 "},
        {"the next token releases the held reading", "500 uR/h", " 0.15 0", {"0.15@500 uR/h"},
         "500 uR/h", " 0"},
        {"readings before the first label are dropped", "", " 0.14 0.15 5 mR/h 1.2 3",
         {"1.2@5 mR/h"}, "5 mR/h", " 3"},
        {"no blank at all: nothing", "5 mR/h", "0.14", {}, "5 mR/h", "0.14"},
        {"two blanks: the empty token is dropped", "5 mR/h", "  0.14 1", {"0.14@5 mR/h"}, "5 mR/h",
         " 1"},
        {"non-numbers are dropped", "5 mR/h", " . 1.2.3 0.5 x", {"0.5@5 mR/h"}, "5 mR/h", " x"},
        {"a stray letter group after a blank reads as a label", "5 mR/h", " 7 RR 0.5 x",
         {"0.5@7 RR"}, "7 RR", " x"},
        {"a label cut in the middle waits", "5 mR/h", " 50 mR/", {}, "5 mR/h", " 50 mR/"},
        {"signed and exponent readings", "5 mR/h", " -0.02 1.5e-1 +3 x",
         {"-0.02@5 mR/h", "0.15@5 mR/h", "3@5 mR/h"}, "5 mR/h", " x"},
        {"sievert labels", "", " 50 uSv/h 12.5 5 mSv/h 4.1 ", {"12.5@50 uSv/h"}, "5 mSv/h",
         " 4.1 "},
    };
    for (const Case &c : cases) {
        QString buf = S(c.buf), scale = S(c.scaleBefore);
        EXPECT_EQ(tokenize(buf, scale), c.readings) << c.legend;
        EXPECT_EQ(scale, S(c.scaleAfter)) << c.legend;
        EXPECT_EQ(buf, S(c.bufAfter)) << c.legend;
    }
}

TEST(LiveStream, BufferNotStartingWithABlankNeverFails)
{
    // The first blank lies past the end of the label: the label is kept whole.
    QString buf = S("12345678 1 m 0.5 "), scale;
    tokenize(buf, scale);
    EXPECT_EQ(scale, "1 m");
    // A buffer that starts mid-token cuts the first label by the offset.
    buf = S("xy 500 uR/h 0.1 2");
    scale.clear();
    const QStringList readings = tokenize(buf, scale);
    EXPECT_EQ(scale, "500 uR");
    EXPECT_EQ(readings, QStringList{"0.1@500 uR"});
}

TEST(DataLog, TableOfRecordLines)
{
    struct Case {
        const char *legend;
        const char *line;
        bool ok;
        float degrees;
        int range;
        double value;
    } cases[] = {
        {"plain record", "23.5 2 0.123\r\n", true, 23.5f, 2, 0.123},
        {"blanks around the value", "21.0 0   120 \r\n", true, 21.0f, 0, 120},
        {"negative temperature", "-5.5 4 1.5\r\n", true, -5.5f, 4, 1.5},
        {"no blank: the value keeps the separator and fails", "2x0.5\r\n", false, 0, 0, 0},
        {"a missing range digit takes the value's first digit", "23 0.5\r\n", true, 23.0f, 0, 0.5},
        {"no CR", "23.5 2 0.123\n", false, 0, 0, 0},
        {"value not a number", "23.5 2 abc\r\n", false, 0, 0, 0},
        {"empty value", "23.5 2\r\n", false, 0, 0, 0},
        {"echo line of the command", "X\r\n", false, 0, 0, 0},
        {"garbage", "\x01\xfe\r\n", false, 0, 0, 0},
        {"cut record", "23.5 2 0.1", false, 0, 0, 0},
    };
    for (const Case &c : cases) {
        const auto r = ParseDataDownload(S(c.line));
        ASSERT_EQ(r.has_value(), c.ok) << c.legend;
        if (!r)
            continue;
        EXPECT_FLOAT_EQ(r->DegreesC, c.degrees) << c.legend;
        EXPECT_EQ(r->range, c.range) << c.legend;
        EXPECT_DOUBLE_EQ(r->value, c.value) << c.legend;
    }
    EXPECT_TRUE(IsLogEnd("Cal 01/15/2026\r\n"));
    EXPECT_TRUE(IsLogEnd("CAL\r\n"));
    EXPECT_FALSE(IsLogEnd("23.5 2 0.123\r\n"));
}

TEST(Numbers, LeadingNumberAndWholeNumber)
{
    EXPECT_DOUBLE_EQ(leadingNumber("  12.5 mR"), 12.5);
    EXPECT_DOUBLE_EQ(leadingNumber("mR"), 0);
    EXPECT_DOUBLE_EQ(leadingNumber("3e2x"), 300);
    EXPECT_TRUE(isNumber(" 0.5 "));
    EXPECT_FALSE(isNumber("0.5.1"));
    EXPECT_FALSE(isNumber("."));
    EXPECT_FALSE(isNumber("1,5")) << "the meter writes a point whatever the locale";
}
