// The committed bitmaps as the components load them, and the generator that
// made them.
#include "resources/Bitmaps.h"

#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace norvale::resources;

namespace
{
constexpr QRgb Magenta = 0xFFFF00FF;
}

TEST(Bitmaps, LedPicturesHaveTheirShadeInTheMiddleAndMagentaCorners)
{
    struct Case {
        const char *legend;
        int number;
        QRgb shade;
    } cases[] = {
        {"blue bright", 101, qRgb(0, 0, 255)},      {"blue dark", 102, qRgb(0, 0, 115)},
        {"green bright", 103, qRgb(0, 255, 0)},     {"green dark", 104, qRgb(0, 115, 0)},
        {"black bright", 105, qRgb(213, 213, 213)}, {"black dark", 106, qRgb(90, 90, 90)},
        {"red bright", 107, qRgb(255, 0, 0)},       {"red dark", 108, qRgb(115, 0, 0)},
        {"yellow bright", 109, qRgb(255, 255, 0)},  {"yellow dark", 110, qRgb(115, 115, 0)},
    };
    for (const auto &c : cases) {
        const QImage img = norvale::resources::displayPicture(c.number);
        ASSERT_FALSE(img.isNull()) << c.legend;
        EXPECT_EQ(img.size(), QSize(30, 30)) << c.legend;
        EXPECT_EQ(img.format(), QImage::Format_Indexed8) << c.legend;
        EXPECT_EQ(img.colorCount(), 256) << c.legend;
        for (auto [x, y] : {std::pair{14, 14}, {15, 15}, {15, 20}, {20, 15}})
            EXPECT_EQ(img.pixel(x, y), c.shade) << c.legend << " at " << x << "," << y;
        // The lamp is round: everything farther than its radius is background,
        // everything well inside is lamp.
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 30; ++x) {
                const double d = std::hypot(x - 14.5, y - 14.5);
                if (d > 14) {
                    ASSERT_EQ(img.pixel(x, y), Magenta) << c.legend << " at " << x << "," << y;
                } else if (d < 13) {
                    ASSERT_NE(img.pixel(x, y), Magenta) << c.legend << " at " << x << "," << y;
                }
            }
    }
}

TEST(Bitmaps, NumbersWithoutAPictureGiveNothing)
{
    for (int n : {0, -101, 100, 111, 1103})
        EXPECT_TRUE(norvale::resources::displayPicture(n).isNull()) << n;
    for (int n : {0, 101, 104})
        EXPECT_TRUE(norvale::resources::assistantPicture(n).isNull()) << n;
    EXPECT_NE(norvale::resources::displayPicture(103), norvale::resources::assistantPicture(103))
        << "the two components each have their own picture 103";
}

TEST(Bitmaps, CommittedFilesAreTheGeneratorsOutput)
{
    QTemporaryDir out;
    ASSERT_TRUE(out.isValid());
    ASSERT_EQ(QProcess::execute(QStringLiteral(MAKEBITMAPS), {out.path()}), 0);
    int compared = 0;
    QDirIterator it(QStringLiteral(COMMITTED_BITMAPS), {QStringLiteral("*.bmp")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString committed = it.next();
        const QString rel = committed.mid(QStringLiteral(COMMITTED_BITMAPS).size());
        QFile a(committed), b(out.path() + rel);
        ASSERT_TRUE(a.open(QIODevice::ReadOnly)) << committed.toStdString();
        ASSERT_TRUE(b.open(QIODevice::ReadOnly)) << "not generated: " << rel.toStdString();
        EXPECT_EQ(a.readAll(), b.readAll()) << rel.toStdString();
        ++compared;
    }
    EXPECT_EQ(compared, 11);
}

TEST(Bitmaps, GeneratorRefusesBadArguments)
{
    EXPECT_EQ(QProcess::execute(QStringLiteral(MAKEBITMAPS), {}), 2);
    EXPECT_EQ(QProcess::execute(QStringLiteral(MAKEBITMAPS), {"--bogus"}), 2);
    QProcess help;
    help.start(QStringLiteral(MAKEBITMAPS), {"--help"});
    ASSERT_TRUE(help.waitForFinished());
    EXPECT_EQ(help.exitCode(), 0);
    EXPECT_TRUE(help.readAllStandardOutput().startsWith("Usage: makebitmaps"));
}

TEST(Bitmaps, APictureIsDecodedOnceAndSharedAfterwards)
{
    // The flashing LED asks for its two pictures four times a second.
    for (int n : {101, 102, 110}) {
        const QImage first = norvale::resources::displayPicture(n);
        EXPECT_EQ(norvale::resources::displayPicture(n).constBits(), first.constBits()) << n;
    }
    EXPECT_EQ(norvale::resources::assistantPicture(103).constBits(),
              norvale::resources::assistantPicture(103).constBits());
}
