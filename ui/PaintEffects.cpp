#include "ui/PaintEffects.h"
#include "platform/AutomationError.h"
#include "ui/OleColorPrivate.h"

#include <QLoggingCategory>
#include <QPainter>

Q_LOGGING_CATEGORY(lcPaintEffects, "norvale.painteffects")

namespace norvale::ui
{

namespace
{

// The size the desktop draws an icon at when no size is asked for.
constexpr int SystemIconSize = 32;

Palette makeHalftonePalette()
{
    // The twenty fixed colours of the desktop, a 6x6x6 colour cube and greys.
    Palette pal = {
        qRgb(0, 0, 0),       qRgb(128, 0, 0),     qRgb(0, 128, 0),   qRgb(128, 128, 0),
        qRgb(0, 0, 128),     qRgb(128, 0, 128),   qRgb(0, 128, 128), qRgb(192, 192, 192),
        qRgb(192, 220, 192), qRgb(166, 202, 240),
    };
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                pal.append(qRgb(r * 51, g * 51, b * 51));
    for (int i = 1; pal.size() < 246; ++i)
        pal.append(qRgb(i * 12, i * 12, i * 12));
    pal += Palette{qRgb(255, 251, 240), qRgb(160, 160, 164), qRgb(128, 128, 128), qRgb(255, 0, 0),
                   qRgb(0, 255, 0),     qRgb(255, 255, 0),   qRgb(0, 0, 255),     qRgb(255, 0, 255),
                   qRgb(0, 255, 255),   qRgb(255, 255, 255)};
    return pal;
}

// The source pixel at (x, y) as an opaque colour, or nothing outside the
// source: a block transfer from outside a surface paints nothing useful.
std::optional<QRgb> sourcePixel(const QImage &src, int x, int y)
{
    if (x < 0 || y < 0 || x >= src.width() || y >= src.height())
        return std::nullopt;
    return src.pixel(x, y) | 0xFF000000u;
}

// Nearer black than white, by luminance; this is the two-colour conversion of
// the embossed look.
bool isDark(QRgb rgb)
{
    return 299 * qRed(rgb) + 587 * qGreen(rgb) + 114 * qBlue(rgb) < 128 * 1000;
}

} // namespace

StdPicture StdPicture::fromBitmap(QImage image)
{
    StdPicture p;
    if (image.isNull())
        return p;
    p.m_type = Type::Bitmap;
    p.m_bitmap = std::move(image);
    return p;
}

StdPicture StdPicture::fromIcon(QIcon icon)
{
    StdPicture p;
    if (icon.isNull())
        return p;
    p.m_type = Type::Icon;
    p.m_icon = std::move(icon);
    return p;
}

StdPicture StdPicture::ofType(Type type)
{
    StdPicture p;
    p.m_type = type;
    return p;
}

PaintEffects::PaintEffects(QString errorSource)
    : m_errorSource(std::move(errorSource)), m_halftone(makeHalftonePalette())
{
}

OLE_COLOR PaintEffects::TranslateColor(OLE_COLOR color, const Palette *hPal) const
{
    // A colour that does not translate is left at zero, that is black.
    return translateOleColor(color, hPal ? hPal : &m_halftone).value_or(olecolor::Black);
}

OLE_COLOR PaintEffects::MarkerColor(OLE_COLOR highlight, OLE_COLOR shadow)
{
    for (OLE_COLOR c : {olecolor::Black, olecolor::Red, olecolor::Blue})
        if (c != highlight && c != shadow)
            return c;
    return olecolor::Blue; // not reached: two colours cannot exclude three
}

void PaintEffects::raiseInvalidPicture() const
{
    qCDebug(lcPaintEffects) << "refused a picture that is neither a bitmap nor an icon";
    throw platform::AutomationError(InvalidPicture, m_errorSource,
                                    QStringLiteral("Invalid picture"));
}

QImage PaintEffects::iconOnMask(const StdPicture &pic, int Width, int Height,
                                OLE_COLOR clrMask) const
{
    QImage tmp(qMax(Width, 0), qMax(Height, 0), QImage::Format_RGB32);
    tmp.fill(toQColor(clrMask));
    QPainter p(&tmp);
    p.drawPixmap(0, 0, pic.icon().pixmap(QSize(SystemIconSize, SystemIconSize)));
    return tmp;
}

void PaintEffects::PaintTransparentDC(QPainter &hdcDest, int xDest, int yDest, int Width,
                                      int Height, const QImage &hdcSrc, int xSrc, int ySrc,
                                      OLE_COLOR clrMask, const Palette *hPal) const
{
    if (Width <= 0 || Height <= 0 || hdcSrc.isNull())
        return;
    const QRgb mask = rgbFromColorRef(TranslateColor(clrMask, hPal));
    // Pixels of the mask colour (and any outside the source) stay clear, so
    // the destination shows through them; all others are copied.
    QImage layer(Width, Height, QImage::Format_ARGB32);
    layer.fill(Qt::transparent);
    for (int y = 0; y < Height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(layer.scanLine(y));
        for (int x = 0; x < Width; ++x) {
            const auto px = sourcePixel(hdcSrc, xSrc + x, ySrc + y);
            if (px && *px != mask)
                line[x] = *px;
        }
    }
    hdcDest.save();
    hdcDest.setCompositionMode(QPainter::CompositionMode_SourceOver);
    hdcDest.drawImage(xDest, yDest, layer);
    hdcDest.restore();
}

void PaintEffects::PaintTransparentStdPic(QPainter &hdcDest, int xDest, int yDest, int Width,
                                          int Height, const StdPicture *picSource, int xSrc,
                                          int ySrc, OLE_COLOR clrMask, const Palette *hPal) const
{
    if (!picSource)
        raiseInvalidPicture();
    switch (picSource->type()) {
    case StdPicture::Type::Bitmap:
        PaintTransparentDC(hdcDest, xDest, yDest, Width, Height, picSource->bitmap(), xSrc, ySrc,
                           clrMask, hPal);
        return;
    case StdPicture::Type::Icon:
        PaintTransparentDC(hdcDest, xDest, yDest, Width, Height,
                           iconOnMask(*picSource, Width, Height, clrMask), 0, 0, clrMask, hPal);
        return;
    default:
        raiseInvalidPicture();
    }
}

void PaintEffects::PaintNormalStdPic(QPainter &hdcDest, int xDest, int yDest, int Width, int Height,
                                     const StdPicture *picSource, int xSrc, int ySrc,
                                     const Palette *hPal) const
{
    Q_UNUSED(hPal); // a true-colour surface needs no palette to copy a picture
    if (!picSource)
        raiseInvalidPicture();
    switch (picSource->type()) {
    case StdPicture::Type::Bitmap: {
        if (Width <= 0 || Height <= 0)
            return;
        const QImage &src = picSource->bitmap();
        QImage layer(Width, Height, QImage::Format_ARGB32);
        layer.fill(Qt::transparent);
        for (int y = 0; y < Height; ++y) {
            auto *line = reinterpret_cast<QRgb *>(layer.scanLine(y));
            for (int x = 0; x < Width; ++x)
                if (const auto px = sourcePixel(src, xSrc + x, ySrc + y))
                    line[x] = *px;
        }
        hdcDest.save();
        hdcDest.setCompositionMode(QPainter::CompositionMode_SourceOver);
        hdcDest.drawImage(xDest, yDest, layer);
        hdcDest.restore();
        return;
    }
    case StdPicture::Type::Icon:
        if (Width > 0 && Height > 0)
            picSource->icon().paint(&hdcDest, QRect(xDest, yDest, Width, Height));
        return;
    default:
        raiseInvalidPicture();
    }
}

void PaintEffects::PaintDisabledDC(QPainter &hdcDest, int xDest, int yDest, int Width, int Height,
                                   const QImage &hdcSrc, int xSrc, int ySrc, OLE_COLOR clrMask,
                                   OLE_COLOR clrHighlight, OLE_COLOR clrShadow,
                                   const Palette *hPal) const
{
    if (Width <= 0 || Height <= 0 || hdcSrc.isNull())
        return;
    const OLE_COLOR shadow = TranslateColor(clrShadow, hPal);
    const OLE_COLOR highlight = TranslateColor(clrHighlight, hPal);

    // Which source pixels are dark; masked pixels count as white (light).
    QImage plain;
    int px0 = xSrc, py0 = ySrc;
    if (TranslateColor(clrMask, hPal) == olecolor::White) {
        plain = hdcSrc;
    } else {
        plain = QImage(Width, Height, QImage::Format_RGB32);
        plain.fill(Qt::white);
        QPainter p(&plain);
        PaintTransparentDC(p, 0, 0, Width, Height, hdcSrc, xSrc, ySrc, clrMask, hPal);
        px0 = py0 = 0;
    }
    std::vector<bool> dark(static_cast<size_t>(Width) * Height);
    for (int y = 0; y < Height; ++y)
        for (int x = 0; x < Width; ++x) {
            const auto px = sourcePixel(plain, px0 + x, py0 + y);
            dark[static_cast<size_t>(y) * Width + x] = px && isDark(*px);
        }

    // The silhouette of the dark pixels in one colour on the marker colour,
    // which is then painted as transparent.
    const OLE_COLOR marker = MarkerColor(highlight, shadow);
    const auto silhouette = [&](OLE_COLOR ink) {
        QImage b(Width, Height, QImage::Format_RGB32);
        for (int y = 0; y < Height; ++y) {
            auto *line = reinterpret_cast<QRgb *>(b.scanLine(y));
            for (int x = 0; x < Width; ++x)
                line[x] = rgbFromColorRef(dark[static_cast<size_t>(y) * Width + x] ? ink : marker);
        }
        return b;
    };
    hdcDest.save();
    // The work area is the destination rectangle: the shifted highlight is cut
    // at its right and bottom edges.
    hdcDest.setClipRect(QRect(xDest, yDest, Width, Height), Qt::IntersectClip);
    PaintTransparentDC(hdcDest, xDest + 1, yDest + 1, Width, Height, silhouette(highlight), 0, 0,
                       marker, hPal);
    PaintTransparentDC(hdcDest, xDest, yDest, Width, Height, silhouette(shadow), 0, 0, marker,
                       hPal);
    hdcDest.restore();
}

void PaintEffects::PaintDisabledStdPic(QPainter &hdcDest, int xDest, int yDest, int Width,
                                       int Height, const StdPicture *picSource, int xSrc, int ySrc,
                                       OLE_COLOR clrMask, OLE_COLOR clrHighlight,
                                       OLE_COLOR clrShadow, const Palette *hPal) const
{
    if (!picSource)
        raiseInvalidPicture();
    switch (picSource->type()) {
    case StdPicture::Type::Bitmap:
        PaintDisabledDC(hdcDest, xDest, yDest, Width, Height, picSource->bitmap(), xSrc, ySrc,
                        clrMask, clrHighlight, clrShadow, hPal);
        return;
    case StdPicture::Type::Icon:
        PaintDisabledDC(hdcDest, xDest, yDest, Width, Height,
                        iconOnMask(*picSource, Width, Height, clrMask), 0, 0, clrMask, clrHighlight,
                        clrShadow, hPal);
        return;
    default:
        raiseInvalidPicture();
    }
}

} // namespace norvale::ui
