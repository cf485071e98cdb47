#pragma once
// Colours as the automation interfaces carry them: 32-bit &H00BBGGRR values.
// A value with the top bit set names a system colour (its low byte is the
// index); &H01 in the top byte is an index into a palette, &H02 a colour to be
// matched in a palette.
#include <QColor>
#include <QRgb>
#include <cstdint>

namespace norvale::ui
{

using OLE_COLOR = uint32_t;

namespace olecolor
{
inline constexpr OLE_COLOR Black = 0x00000000;
inline constexpr OLE_COLOR Red = 0x000000FF;
inline constexpr OLE_COLOR Green = 0x0000FF00;
inline constexpr OLE_COLOR Blue = 0x00FF0000;
inline constexpr OLE_COLOR Yellow = 0x0000FFFF;
inline constexpr OLE_COLOR Magenta = 0x00FF00FF;
inline constexpr OLE_COLOR White = 0x00FFFFFF;
inline constexpr OLE_COLOR SystemWindow = 0x80000005;
inline constexpr OLE_COLOR SystemWindowText = 0x80000008;
inline constexpr OLE_COLOR SystemButtonFace = 0x8000000F;
} // namespace olecolor

// A plain &H00BBGGRR colour as an opaque QRgb (the top byte is ignored).
constexpr QRgb rgbFromColorRef(OLE_COLOR c)
{
    return 0xFF000000u | ((c & 0xFFu) << 16) | (c & 0xFF00u) | ((c >> 16) & 0xFFu);
}

// The &H00BBGGRR value of a QRgb (alpha dropped).
constexpr OLE_COLOR colorRefFromRgb(QRgb rgb)
{
    return static_cast<OLE_COLOR>(qRed(rgb)) | (static_cast<OLE_COLOR>(qGreen(rgb)) << 8) |
           (static_cast<OLE_COLOR>(qBlue(rgb)) << 16);
}

// Translates any OLE colour without a palette: system colours come from the
// application palette, plain colours stand as they are. An unknown system
// colour or palette index gives black, as a failed translation leaves the
// result at zero.
QColor toQColor(OLE_COLOR c);

} // namespace norvale::ui
