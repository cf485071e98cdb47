// The bar scale: its ladder and layout as numbers, then the same rendered
// offscreen and read back pixel by pixel.
#include "displaycontrols/Twips.h"
#include "displaycontrols/kest720Scale.h"

#include <QImage>
#include <QSet>
#include <gtest/gtest.h>

using namespace norvale::displaycontrols;

namespace
{

// The instance inside the reading panel: 3015 x 855 twips.
constexpr int InstanceWidth = 3015;

QImage render(kest720Scale &s)
{
    return s.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Columns with a black pixel in row y.
QList<int> blackColumns(const QImage &img, int y)
{
    QList<int> out;
    for (int x = 0; x < img.width(); ++x)
        if (img.pixel(x, y) == 0xFF000000u)
            out.append(x);
    return out;
}

// Pixels of text (anti-aliased, so anything well darker than the background).
int inkPixels(const QImage &img)
{
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            n += qGray(img.pixel(x, y)) < 128;
    return n;
}

QList<int> toPixels(const QList<int> &twipXs)
{
    QList<int> out;
    for (int t : twipXs)
        out.append(twips::toPixels(t));
    return out;
}

struct ScaleFixture : ::testing::Test {
    kest720Scale s;
    ScaleFixture()
    {
        s.resize(twips::toPixels(InstanceWidth), twips::toPixels(855));
        s.setBackColor(norvale::ui::olecolor::White);
    }
};

} // namespace

TEST(ScaleLadder, EachRangeGetsItsFullScaleAndLabels)
{
    struct Case {
        const char *legend;
        double scaleNumber;
        float fullScale;
        double labelFactor;
        bool known;
    } cases[] = {
        {"negative", -3, 0.005f, 1, true},
        {"zero", 0, 0.005f, 1, true},
        {"0.05 row", 0.05, 0.05f, 10, true},
        {"0.5 row", 0.3, 0.5f, 100, true},
        {"five", 5, 5, 1, true},
        {"seven uses the 50 row", 7, 50, 10, true},
        {"fifty", 50, 50, 10, true},
        {"fifty-one", 51, 500, 100, true},
        {"five hundred", 500, 500, 100, true},
        {"five thousand", 5000, 5000, 1, true},
        {"above 5000", 5001, 0, 0, false},
    };
    for (const auto &c : cases) {
        const auto l = scale::ladder(c.scaleNumber);
        EXPECT_EQ(l.known, c.known) << c.legend;
        if (c.known) {
            EXPECT_FLOAT_EQ(l.fullScale, c.fullScale) << c.legend;
            EXPECT_DOUBLE_EQ(l.labelFactor, c.labelFactor) << c.legend;
        }
    }
}

TEST(ScaleLayout, InstanceWidthGivesTicksTo2870AndBarTo2892)
{
    EXPECT_EQ(scale::tickSpacing(InstanceWidth), 55);
    EXPECT_EQ(scale::barSpacing(InstanceWidth), 28);
    const auto ticks = scale::ticks(InstanceWidth, 100);
    ASSERT_EQ(ticks.size(), 51);
    EXPECT_EQ(ticks.front().x, 120);
    EXPECT_EQ(ticks.back().x, 2870);
    // Long every tenth tick, half length every fifth, short between.
    EXPECT_EQ(ticks[1].x, 175);
    EXPECT_EQ(ticks[1].length, 80);
    EXPECT_EQ(ticks[5].length, 160);
    EXPECT_EQ(ticks[40].length, 220);
    const auto full = scale::barStrokes(InstanceWidth, 500, 500);
    ASSERT_EQ(full.size(), 100);
    EXPECT_EQ(full.front(), 120);
    EXPECT_EQ(full.back(), 2892);
}

TEST(ScaleLayout, SpacingsForOtherWidths)
{
    struct Case {
        const char *legend;
        int width, tick, bar;
    } cases[] = {
        {"exactly the margins", 240, 0, 0},
        {"narrower than the margins", 100, -2, -1},
        {"bar halfway rounds to even (2.5)", 490, 5, 2},
        {"bar halfway rounds to even (3.5)", 590, 7, 4},
        {"wide", 5240, 100, 50},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(scale::tickSpacing(c.width), c.tick) << c.legend;
        EXPECT_EQ(scale::barSpacing(c.width), c.bar) << c.legend;
        if (c.tick <= 0) {
            for (const auto &t : scale::ticks(c.width, 1))
                EXPECT_LE(t.x, 120) << c.legend;
        }
    }
}

TEST(ScaleLayout, LabelsForEachFactor)
{
    struct Case {
        double factor;
        QStringList labels;
    } cases[] = {
        {1, {"0", "1", "2", "3", "4", "5"}},
        {100, {"0", "100", "200", "300", "400", "500"}},
    };
    for (const auto &c : cases) {
        QStringList got;
        for (const auto &t : scale::ticks(InstanceWidth, c.factor))
            if (!t.label.isEmpty())
                got << t.label;
        EXPECT_EQ(got, c.labels) << c.factor;
    }
}

TEST(ScaleLayout, FilledStrokes)
{
    struct Case {
        const char *legend;
        float value, fullScale;
        int filled, drawn;
    } cases[] = {
        {"half of 5", 2.5f, 5, 50, 50},
        {"above full", 9000, 500, 1800, 100},
        {"zero: zero mark alone", 0, 500, 0, 1},
        {"negative: zero mark alone", -3, 5, -60, 1},
        {"2.5 strokes rounds to 2", 12.5f, 500, 2, 2},
        {"3.5 strokes rounds to 4", 17.5f, 500, 4, 4},
        {"0.5 strokes rounds to 0", 2.5f, 500, 0, 1},
        {"no range yet", 3, 0, 0, 1},
        {"not a number", std::nanf(""), 5, 0, 1},
        {"huge", 3e38f, 0.005f, 2000000000, 100},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(scale::filledCount(c.value, c.fullScale), c.filled) << c.legend;
        EXPECT_EQ(scale::barStrokes(InstanceWidth, c.value, c.fullScale).size(), c.drawn)
            << c.legend;
    }
}

TEST_F(ScaleFixture, NoScaleIsDrawnBeforeTheFirstScaleNumber)
{
    EXPECT_EQ(s.ScaleNumber(), 500);
    EXPECT_TRUE(s.persistentImage().isNull());
    const QImage img = render(s);
    EXPECT_TRUE(blackColumns(img, 20).isEmpty()) << "no ticks";
    EXPECT_EQ(blackColumns(img, 4), QList<int>{8}) << "only the zero mark";
}

TEST_F(ScaleFixture, RenderedTicksSitWhereTheLayoutSaysAndOnlyThere)
{
    s.setScaleNumber(500);
    const QImage img = render(s);
    QList<int> all, halves, majors;
    for (const auto &t : scale::ticks(InstanceWidth, 100)) {
        all << twips::toPixels(t.x);
        if (t.length >= 160)
            halves << twips::toPixels(t.x);
        if (t.length == 220)
            majors << twips::toPixels(t.x);
    }
    // Rows below y = 160 twips: every tick; below 240: halves and majors;
    // below 320: majors alone.
    EXPECT_EQ(blackColumns(img, 12), all);
    EXPECT_EQ(blackColumns(img, 18), halves);
    EXPECT_EQ(blackColumns(img, 23), majors);
    EXPECT_TRUE(blackColumns(img, 10).isEmpty()) << "gap between bar and ticks";
}

// The layout's own cases are above; here, that the control draws what the
// layout gives for the range its scale number picks.
TEST_F(ScaleFixture, BarStrokesForValueAndScale)
{
    struct Case {
        const char *legend;
        int scaleNumber;
        double value;
        int strokes;
    } cases[] = {
        {"2.5 on 5: half the bar", 5, 2.5, 50},
        {"7 uses the 50 row", 7, 25, 50},
        {"zero scale number: end value 0.005", 0, 0.0025, 50},
    };
    for (const auto &c : cases) {
        s.setScaleNumber(c.scaleNumber);
        s.setValue(c.value);
        const auto expected = toPixels(scale::barStrokes(InstanceWidth, static_cast<float>(c.value),
                                                         scale::ladder(c.scaleNumber).fullScale));
        ASSERT_EQ(expected.size(), c.strokes) << c.legend;
        EXPECT_EQ(blackColumns(render(s), 4), expected) << c.legend;
        EXPECT_EQ(blackColumns(render(s), 0), expected) << c.legend << " (top row)";
    }
}

TEST_F(ScaleFixture, AboveFiveThousandKeepsTheOldRangeAndPrintsZeros)
{
    s.setScaleNumber(500);
    s.setScaleNumber(6000);
    EXPECT_EQ(s.ScaleNumber(), 6000);
    EXPECT_FLOAT_EQ(s.FullScale(), 500);
    EXPECT_DOUBLE_EQ(s.LabelFactor(), 0);
    s.setValue(250);
    const QImage img = render(s);
    EXPECT_EQ(blackColumns(img, 4).size(), 50) << "the bar still reads against 500";
    // Six identical "0" labels, each with ink.
    QList<QImage> labels;
    for (const auto &t : scale::ticks(InstanceWidth, 0))
        if (!t.label.isEmpty())
            labels << img.copy(twips::toPixels(t.x) - 6, 27, 13, 14);
    ASSERT_EQ(labels.size(), 6);
    for (const QImage &l : labels) {
        EXPECT_EQ(l, labels.front());
        EXPECT_GT(inkPixels(l), 8) << "a printed digit";
    }
    s.setScaleNumber(500);
    const QImage normal = render(s);
    EXPECT_NE(normal.copy(twips::toPixels(175) - 6, 27, 13, 14), labels[1]) << "100 is not 0";
}

TEST_F(ScaleFixture, BackColorKeepsTheDrawnScale)
{
    s.setScaleNumber(50);
    const auto ticksBefore = blackColumns(render(s), 12);
    s.setBackColor(0x0000C000);
    const QImage img = render(s);
    EXPECT_EQ(img.pixel(100, 50), qRgb(0, 192, 0));
    EXPECT_EQ(blackColumns(img, 12), ticksBefore);
}
