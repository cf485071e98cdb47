// The row formats of kest721: date numbers to local time, colours by name,
// units, numbers and CSV quoting, each against a table of known answers.
#include "host/common/Csv.h"
#include "host/kest721/Rows.h"

#include <gtest/gtest.h>

using namespace norvale::host;

namespace
{

struct DateCase {
    double days;
    const char *iso;
};

class SpreadsheetDate : public ::testing::TestWithParam<DateCase>
{
};

TEST_P(SpreadsheetDate, IsLocalTimeToTheSecond)
{
    const DateCase c = GetParam();
    EXPECT_EQ(isoTimeStamp(c.days), QString::fromLatin1(c.iso)) << c.days;
    const QDateTime t = localTimeOfSpreadsheetDate(c.days);
    EXPECT_EQ(t.timeSpec(), Qt::LocalTime);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SpreadsheetDate,
    ::testing::Values(DateCase{0, "1899-12-30T00:00:00"}, DateCase{1, "1899-12-31T00:00:00"},
                      DateCase{2, "1900-01-01T00:00:00"}, DateCase{-1, "1899-12-29T00:00:00"},
                      DateCase{-0.25, "1899-12-29T18:00:00"},
                      DateCase{36526.75, "2000-01-01T18:00:00"},
                      DateCase{45000.5, "2023-03-15T12:00:00"},
                      // 1 s, and the float noise of a whole second either way.
                      DateCase{45000 + 1 / 86400.0, "2023-03-15T00:00:01"},
                      DateCase{45000 + 59 / 86400.0 - 1e-9, "2023-03-15T00:00:59"},
                      DateCase{45000 + 86399 / 86400.0, "2023-03-15T23:59:59"},
                      // Half a second short of midnight rounds into the next day.
                      DateCase{45000.99999999, "2023-03-16T00:00:00"},
                      DateCase{46363.0625, "2026-12-07T01:30:00"}));

TEST(SpreadsheetDate, NotANumberHasNoTime)
{
    EXPECT_FALSE(localTimeOfSpreadsheetDate(std::nan("")).isValid());
    EXPECT_EQ(isoTimeStamp(std::numeric_limits<double>::infinity()), QString());
}

// The Assistant's own conversion (whole days plus seconds / 86400) read back.
TEST(SpreadsheetDate, RoundTripsEverySecondOfADay)
{
    const QDate day(2026, 12, 7);
    const qint64 days = QDate(1899, 12, 30).daysTo(day);
    for (int s = 0; s < 86400; s += 7) {
        const double number = static_cast<double>(days) + s / 86400.0;
        const QDateTime t = localTimeOfSpreadsheetDate(number);
        ASSERT_EQ(t.date(), day) << s;
        ASSERT_EQ(QTime(0, 0).secsTo(t.time()), s);
    }
}

struct ColorCase {
    int32_t ole;
    const char *name;
    std::optional<uint32_t> rgb;
};

class AlarmColor : public ::testing::TestWithParam<ColorCase>
{
};

TEST_P(AlarmColor, NameAndFill)
{
    const ColorCase c = GetParam();
    EXPECT_EQ(alarmColorName(c.ole), QString::fromLatin1(c.name));
    EXPECT_EQ(rgbOfOleColor(c.ole), c.rgb);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AlarmColor,
    ::testing::Values(ColorCase{0x000000, "black", 0x000000}, ColorCase{0x0000FF, "red", 0xFF0000},
                      ColorCase{0x00FFFF, "yellow", 0xFFFF00},
                      ColorCase{0xFF0000, "blue", 0x0000FF}, ColorCase{0x00FF00, "green", 0x00FF00},
                      ColorCase{0xFFFFFF, "0x00FFFFFF", 0xFFFFFF},
                      ColorCase{0x123456, "0x00123456", 0x563412},
                      ColorCase{0x000080, "0x00000080", 0x800000},
                      // System colours have no fill; the name keeps the number.
                      ColorCase{int32_t(0x8000000F), "0x8000000F", std::nullopt},
                      ColorCase{int32_t(0x80000005), "0x80000005", std::nullopt}));

TEST(Units, OfTheInstrument)
{
    EXPECT_EQ(unitOfInstrumentUnits(1), QStringLiteral("mR/h"));
    EXPECT_EQ(unitOfInstrumentUnits(2), QStringLiteral("uSv/h"));
    EXPECT_EQ(unitOfInstrumentUnits(0), QString());
    EXPECT_EQ(unitOfInstrumentUnits(3), QString());
}

struct NumberCase {
    double value;
    const char *number;
    const char *single;
};

class Numbers : public ::testing::TestWithParam<NumberCase>
{
};

TEST_P(Numbers, ShortestText)
{
    const NumberCase c = GetParam();
    EXPECT_EQ(numberText(c.value), QString::fromLatin1(c.number));
    EXPECT_EQ(singleText(c.value), QString::fromLatin1(c.single));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Numbers,
    ::testing::Values(NumberCase{0, "0", "0"}, NumberCase{12.3, "12.3", "12.3"},
                      NumberCase{0.0146, "0.0146", "0.0146"}, NumberCase{-4, "-4", "-4"},
                      NumberCase{double(21.1f), "21.1000003814697", "21.1"},
                      NumberCase{double(-0.3f), "-0.300000011920929", "-0.3"},
                      // The binary noise of a rescaled reading is below 15 digits.
                      NumberCase{15.3 * 0.001, "0.0153", "0.0153"},
                      NumberCase{123456789012345678.0, "1.23456789012346e+17",
                                 "1.23456789012346e+17"},
                      NumberCase{0.1, "0.1", "0.1"}, NumberCase{1e-7, "1e-07", "1e-07"}));

struct CsvCase {
    const char *field;
    const char *written;
};

class Csv : public ::testing::TestWithParam<CsvCase>
{
};

TEST_P(Csv, Quoting)
{
    const CsvCase c = GetParam();
    EXPECT_EQ(csvField(QString::fromUtf8(c.field)), QString::fromUtf8(c.written));
}

INSTANTIATE_TEST_SUITE_P(Table, Csv,
                         ::testing::Values(CsvCase{"", ""}, CsvCase{"mR/h", "mR/h"},
                                           CsvCase{"a,b", "\"a,b\""},
                                           CsvCase{"say \"hi\"", "\"say \"\"hi\"\"\""},
                                           CsvCase{"two\nlines", "\"two\nlines\""},
                                           CsvCase{"cr\r", "\"cr\r\""},
                                           CsvCase{"\xc2\xb5Sv/h", "\xc2\xb5Sv/h"}));

TEST(Rows, LiveLine)
{
    EXPECT_EQ(csvLine(liveHeader()), QStringLiteral("time,value,unit,alarm_color"));
    const LiveRow row{45000.5, 0.0146, QStringLiteral("mR/h"), 0x0000FF};
    EXPECT_EQ(csvLine(liveFields(row)), QStringLiteral("2023-03-15T12:00:00,0.0146,mR/h,red"));
}

TEST(Rows, DownloadLine)
{
    EXPECT_EQ(csvLine(downloadHeader()), QStringLiteral("record,degrees_c,value,unit"));
    const DownloadRow row{3, double(22.4f), 1.2, QStringLiteral("uSv/h")};
    EXPECT_EQ(csvLine(downloadFields(row)), QStringLiteral("3,22.4,1.2,uSv/h"));
}

} // namespace
