#pragma once
// Picture painting effects: a picture or an image painted plainly, with one
// colour transparent, or embossed as a disabled picture. Coordinates and sizes
// are device pixels; colours are OLE colours translated through a palette.
#include "ui/OleColor.h"

#include <QIcon>
#include <QImage>
#include <QList>
#include <QString>

class QPainter;

namespace norvale::ui
{

// A colour table standing in for a palette handle; a null pointer where one is
// asked for means the halftone palette of the PaintEffects object.
using Palette = QList<QRgb>;

// A standard picture object: only its type and its image are used.
class StdPicture
{
public:
    enum class Type { None = 0, Bitmap = 1, Metafile = 2, Icon = 3, EnhMetafile = 4 };

    StdPicture() = default;
    static StdPicture fromBitmap(QImage image);
    static StdPicture fromIcon(QIcon icon);
    // A picture of another kind (a metafile, say), which the effects refuse.
    static StdPicture ofType(Type type);

    Type type() const { return m_type; }
    const QImage &bitmap() const { return m_bitmap; }
    const QIcon &icon() const { return m_icon; }
    int width() const { return m_bitmap.width(); }
    int height() const { return m_bitmap.height(); }

private:
    Type m_type = Type::None;
    QImage m_bitmap;
    QIcon m_icon;
};

class PaintEffects
{
public:
    // errorSource names the component in error 481 (each component that
    // builds these effects in reports under its own name).
    explicit PaintEffects(QString errorSource = QStringLiteral("PaintEffects"));

    static constexpr int InvalidPicture = 481;

    const Palette &halftonePalette() const { return m_halftone; }

    // The &H00BBGGRR value an OLE colour stands for through the palette hPal
    // (the halftone palette when null).
    OLE_COLOR TranslateColor(OLE_COLOR color, const Palette *hPal = nullptr) const;

    // The colour that marks "not part of the silhouette" in the embossed look:
    // the first of black, red, blue that is neither of the two given colours.
    static OLE_COLOR MarkerColor(OLE_COLOR highlight, OLE_COLOR shadow);

    // Paints a disabled appearing image (embossed) given a source picture object.
    void PaintDisabledStdPic(QPainter &hdcDest, int xDest, int yDest, int Width, int Height,
                             const StdPicture *picSource, int xSrc, int ySrc, OLE_COLOR clrMask,
                             OLE_COLOR clrHighlight, OLE_COLOR clrShadow,
                             const Palette *hPal = nullptr) const;
    // Paints a disabled appearing image (embossed) given a source hDC.
    void PaintDisabledDC(QPainter &hdcDest, int xDest, int yDest, int Width, int Height,
                         const QImage &hdcSrc, int xSrc, int ySrc, OLE_COLOR clrMask,
                         OLE_COLOR clrHighlight, OLE_COLOR clrShadow,
                         const Palette *hPal = nullptr) const;
    // Paints an image with transparent pixels defined by the mask color.
    // Accepts an hDC as its image source.
    void PaintTransparentDC(QPainter &hdcDest, int xDest, int yDest, int Width, int Height,
                            const QImage &hdcSrc, int xSrc, int ySrc, OLE_COLOR clrMask,
                            const Palette *hPal = nullptr) const;
    // Paints an image with transparent pixels defined by the mask color.
    // Accepts a picture object as its image source.
    void PaintTransparentStdPic(QPainter &hdcDest, int xDest, int yDest, int Width, int Height,
                                const StdPicture *picSource, int xSrc, int ySrc, OLE_COLOR clrMask,
                                const Palette *hPal = nullptr) const;
    // Paints an image provided by a picture object to an hDC with no effects.
    void PaintNormalStdPic(QPainter &hdcDest, int xDest, int yDest, int Width, int Height,
                           const StdPicture *picSource, int xSrc, int ySrc,
                           const Palette *hPal = nullptr) const;

private:
    [[noreturn]] void raiseInvalidPicture() const;
    QImage iconOnMask(const StdPicture &pic, int Width, int Height, OLE_COLOR clrMask) const;

    QString m_errorSource;
    Palette m_halftone;
};

} // namespace norvale::ui
