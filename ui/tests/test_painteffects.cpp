// The painting effects on real images: each case paints onto a filled
// destination and looks at the pixels that must change and those that must not.
#include "platform/AutomationError.h"
#include "ui/PaintEffects.h"

#include <QApplication>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <gtest/gtest.h>

using namespace norvale::ui;

namespace
{

constexpr QRgb Magenta = 0xFFFF00FF;
constexpr QRgb RedRgb = 0xFFFF0000;
constexpr QRgb Backdrop = 0xFF336699;

// A 30x30 lamp: a red disc of radius 12 on magenta.
QImage lamp()
{
    QImage img(30, 30, QImage::Format_RGB32);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 30; ++x) {
            const int dx = x - 15, dy = y - 15;
            img.setPixel(x, y, dx * dx + dy * dy <= 144 ? RedRgb : Magenta);
        }
    return img;
}

QImage backdrop(int w = 40, int h = 40)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(Backdrop);
    return img;
}

// White picture with a black 6x6 square at (4, 4).
QImage blackSquare()
{
    QImage img(16, 16, QImage::Format_RGB32);
    img.fill(Qt::white);
    for (int y = 4; y < 10; ++y)
        for (int x = 4; x < 10; ++x)
            img.setPixel(x, y, 0xFF000000);
    return img;
}

// `dest` after `paint` has painted on it.
QImage paintedOn(QImage dest, const std::function<void(QPainter &)> &paint)
{
    QPainter p(&dest);
    paint(p);
    p.end();
    return dest;
}

} // namespace

TEST(PaintEffects, PaintsTheChosenPartOfTheLamp)
{
    const PaintEffects fx;
    const StdPicture pic = StdPicture::fromBitmap(lamp());
    // Transparent (with a mask colour) or normal paint, destination, source corner.
    struct Call {
        const char *legend;
        bool transparent;
        QRect to;
        QPoint from;
        OLE_COLOR mask;
    } calls[] = {
        {"the disc alone, nothing outside", true, {5, 5, 30, 30}, {0, 0}, olecolor::Magenta},
        {"lower right quarter at the origin", true, {0, 0, 15, 15}, {15, 15}, olecolor::Magenta},
        {"mask colour absent: all copied", true, {0, 0, 30, 30}, {0, 0}, olecolor::Yellow},
        {"normal paint copies the mask colour", false, {2, 3, 30, 30}, {0, 0}, 0},
    };
    // Which call, where, the colour expected there.
    struct Probe {
        int call, x, y;
        QRgb expected;
    } probes[] = {
        {0, 20, 20, RedRgb},   {0, 8, 20, RedRgb},    {0, 5, 5, Backdrop}, {0, 34, 34, Backdrop},
        {0, 0, 0, Backdrop},   {0, 36, 20, Backdrop}, {1, 0, 0, RedRgb},   {1, 14, 14, Backdrop},
        {1, 15, 0, Backdrop},  {1, 0, 15, Backdrop},  {2, 0, 0, Magenta},  {2, 15, 15, RedRgb},
        {2, 30, 30, Backdrop}, {3, 2, 3, Magenta},    {3, 17, 18, RedRgb}, {3, 1, 3, Backdrop},
        {3, 32, 3, Backdrop},
    };
    QList<QImage> painted;
    for (const Call &c : calls)
        painted << paintedOn(backdrop(), [&](QPainter &p) {
            const QRect &r = c.to;
            if (c.transparent)
                fx.PaintTransparentStdPic(p, r.x(), r.y(), r.width(), r.height(), &pic, c.from.x(),
                                          c.from.y(), c.mask);
            else
                fx.PaintNormalStdPic(p, r.x(), r.y(), r.width(), r.height(), &pic, c.from.x(),
                                     c.from.y());
        });
    for (const Probe &at : probes)
        EXPECT_EQ(painted[at.call].pixel(at.x, at.y), at.expected)
            << calls[at.call].legend << " at " << at.x << "," << at.y;
}

TEST(PaintEffects, IconsPaintThroughTheirOwnTransparency)
{
    // Left half red, right half clear.
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    {
        QPainter p(&pm);
        p.fillRect(0, 0, 16, 32, QColor(RedRgb));
    }
    const StdPicture icon = StdPicture::fromIcon(QIcon(pm));
    const PaintEffects fx;

    const QImage transparent = paintedOn(backdrop(), [&](QPainter &p) {
        fx.PaintTransparentStdPic(p, 0, 0, 32, 32, &icon, 0, 0, olecolor::Magenta);
    });
    EXPECT_EQ(transparent.pixel(4, 10), RedRgb);
    EXPECT_EQ(transparent.pixel(28, 10), Backdrop);

    // Stretched to twice its size by the plain paint.
    const QImage normal = paintedOn(
        backdrop(70, 70), [&](QPainter &p) { fx.PaintNormalStdPic(p, 0, 0, 64, 64, &icon, 0, 0); });
    EXPECT_EQ(normal.pixel(28, 40), RedRgb);
    EXPECT_EQ(normal.pixel(40, 40), Backdrop);
}

TEST(PaintEffects, AnythingButABitmapOrIconRaisesInvalidPicture)
{
    const PaintEffects fx(QStringLiteral("Kest720UI"));
    const StdPicture none, metafile = StdPicture::ofType(StdPicture::Type::Metafile),
                           nullImage = StdPicture::fromBitmap(QImage());
    struct Case {
        const char *legend;
        const StdPicture *pic;
    } cases[] = {
        {"no picture at all", nullptr},
        {"an empty picture", &none},
        {"a metafile", &metafile},
        {"a bitmap without an image", &nullImage},
    };
    QImage dest = backdrop();
    QPainter p(&dest);
    for (const auto &c : cases) {
        const std::function<void()> calls[] = {
            [&] { fx.PaintTransparentStdPic(p, 0, 0, 5, 5, c.pic, 0, 0, 0); },
            [&] { fx.PaintNormalStdPic(p, 0, 0, 5, 5, c.pic, 0, 0); },
            [&] { fx.PaintDisabledStdPic(p, 0, 0, 5, 5, c.pic, 0, 0, 0, 0xFFFFFF, 0x808080); },
        };
        for (const auto &call : calls) {
            try {
                call();
                ADD_FAILURE() << c.legend << ": no error";
            } catch (const norvale::platform::AutomationError &e) {
                EXPECT_EQ(e.number(), 481) << c.legend;
                EXPECT_EQ(e.source(), "Kest720UI") << c.legend;
                EXPECT_EQ(e.description(), "Invalid picture") << c.legend;
            }
        }
    }
    p.end();
    EXPECT_EQ(dest, backdrop()) << "a refused picture paints nothing";
}

TEST(PaintEffects, ColoursTranslateThroughPaletteAndSystemColours)
{
    const PaintEffects fx;
    const Palette &half = fx.halftonePalette();
    ASSERT_EQ(half.size(), 256);
    const Palette tiny = {qRgb(1, 2, 3), qRgb(10, 20, 30)};
    const QPalette app = QApplication::palette();
    struct Case {
        const char *legend;
        OLE_COLOR in;
        const Palette *pal;
        OLE_COLOR expected;
    } cases[] = {
        {"plain red stays", 0x000000FF, nullptr, 0x000000FF},
        {"plain colour with a palette stays", 0x00123456, &tiny, 0x00123456},
        {"system window text", 0x80000008, nullptr,
         colorRefFromRgb(app.color(QPalette::Text).rgb())},
        {"system button face", 0x8000000F, nullptr,
         colorRefFromRgb(app.color(QPalette::Button).rgb())},
        {"unknown system colour gives black", 0x800000FE, nullptr, 0},
        {"palette index into the given palette", 0x01000001, &tiny, 0x001E140A},
        {"palette index past the end gives black", 0x01000002, &tiny, 0},
        {"palette index into the halftone palette", 0x01000000 | 255, nullptr, 0x00FFFFFF},
        {"palette-relative colour used as it stands", 0x02345678, nullptr, 0x00345678},
        {"garbage in the top byte gives black", 0x7F0000FF, nullptr, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(fx.TranslateColor(c.in, c.pal), c.expected) << c.legend;
    EXPECT_EQ(toQColor(0x000000FF), QColor(255, 0, 0));
    EXPECT_EQ(toQColor(0x01000001), QColor(0, 0, 0)) << "no palette without a palette";
}

TEST(PaintEffects, NullPaletteMeansTheHalftonePalette)
{
    const PaintEffects fx;
    const qsizetype magentaIndex = fx.halftonePalette().indexOf(Magenta);
    ASSERT_GE(magentaIndex, 0);
    const OLE_COLOR mask = 0x01000000u | static_cast<OLE_COLOR>(magentaIndex);
    const StdPicture pic = StdPicture::fromBitmap(lamp());
    auto through = [&](const Palette *palette) {
        return paintedOn(backdrop(), [&](QPainter &p) {
            fx.PaintTransparentStdPic(p, 0, 0, 30, 30, &pic, 0, 0, mask, palette);
        });
    };
    const QImage viaNull = through(nullptr);
    EXPECT_EQ(viaNull, through(&fx.halftonePalette()));
    EXPECT_EQ(viaNull.pixel(0, 0), Backdrop) << "the palette index named magenta";
}

TEST(PaintEffects, MarkerColourIsTheFirstFreeOfBlackRedBlue)
{
    struct Case {
        OLE_COLOR highlight, shadow, expected;
    } cases[] = {
        {olecolor::Black, olecolor::Red, olecolor::Blue},
        {olecolor::Red, olecolor::Blue, olecolor::Black},
        {olecolor::Black, olecolor::Blue, olecolor::Red},
        {olecolor::White, 0x00808080, olecolor::Black},
        {olecolor::Black, olecolor::Black, olecolor::Red},
    };
    for (const auto &c : cases)
        EXPECT_EQ(PaintEffects::MarkerColor(c.highlight, c.shadow), c.expected)
            << std::hex << c.highlight << " / " << c.shadow;
}

TEST(PaintEffects, DisabledLookIsAShiftedHighlightUnderTheShadow)
{
    const PaintEffects fx;
    const OLE_COLOR highlight = olecolor::White, shadow = 0x00808080;
    const QRgb hi = rgbFromColorRef(highlight), sh = rgbFromColorRef(shadow);
    const StdPicture pic = StdPicture::fromBitmap(blackSquare());
    const QImage dest = paintedOn(backdrop(20, 20), [&](QPainter &p) {
        fx.PaintDisabledStdPic(p, 0, 0, 16, 16, &pic, 0, 0, olecolor::White, highlight, shadow);
    });
    struct Case {
        const char *legend;
        int x, y;
        QRgb expected;
    } cases[] = {
        {"inside the square", 6, 6, sh},
        {"highlight below right of the square", 10, 10, hi},
        {"highlight under the bottom edge", 6, 10, hi},
        {"left of the square: light source", 3, 6, Backdrop},
        {"above the square", 6, 3, Backdrop},
    };
    for (const auto &c : cases)
        EXPECT_EQ(dest.pixel(c.x, c.y), c.expected) << c.legend;
}

TEST(PaintEffects, DisabledLookTreatsMaskedPixelsAsLightAndClipsTheShift)
{
    // Dark blue square on black; black is the mask, so only the square is dark.
    QImage src(8, 8, QImage::Format_RGB32);
    src.fill(Qt::black);
    for (int y = 2; y < 8; ++y)
        for (int x = 2; x < 8; ++x)
            src.setPixel(x, y, 0xFF000080);
    const StdPicture pic = StdPicture::fromBitmap(src);
    const PaintEffects fx;
    // Highlight black and shadow red force the blue marker: it must not leak.
    const QImage dest = paintedOn(backdrop(12, 12), [&](QPainter &p) {
        fx.PaintDisabledStdPic(p, 0, 0, 8, 8, &pic, 0, 0, olecolor::Black, olecolor::Black,
                               olecolor::Red);
    });
    EXPECT_EQ(dest.pixel(0, 0), Backdrop) << "masked black counts as light";
    EXPECT_EQ(dest.pixel(4, 4), RedRgb) << "shadow over the square";
    EXPECT_EQ(dest.pixel(1, 1), Backdrop);
    EXPECT_EQ(dest.pixel(8, 8), Backdrop) << "the shifted highlight stops at the rectangle";
    EXPECT_EQ(dest.pixel(8, 4), Backdrop);
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 12; ++x)
            ASSERT_NE(dest.pixel(x, y), 0xFF0000FFu)
                << "marker colour painted at " << x << "," << y;
}

TEST(PaintEffects, NothingHappensForEmptyRectangles)
{
    const PaintEffects fx;
    const StdPicture pic = StdPicture::fromBitmap(lamp());
    const QImage dest = paintedOn(backdrop(), [&](QPainter &p) {
        for (auto [w, h] : {std::pair{0, 10}, {10, 0}, {-5, 10}, {10, -1}}) {
            fx.PaintTransparentStdPic(p, 0, 0, w, h, &pic, 0, 0, olecolor::Magenta);
            fx.PaintNormalStdPic(p, 0, 0, w, h, &pic, 0, 0);
            fx.PaintDisabledStdPic(p, 0, 0, w, h, &pic, 0, 0, 0, 0xFFFFFF, 0);
        }
        // A source rectangle wholly outside the picture paints nothing either.
        fx.PaintNormalStdPic(p, 0, 0, 10, 10, &pic, 100, 100);
    });
    EXPECT_EQ(dest, backdrop());
}
