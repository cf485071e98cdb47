#pragma once
// The layouts of the display controls and window are measured in twips, at a
// fixed 15 twips a pixel (96 pixels an inch).
#include <QRect>

namespace norvale::displaycontrols::twips
{

inline constexpr int PerPixel = 15;

// Twips to the nearest whole pixel.
constexpr int toPixels(int t)
{
    return t >= 0 ? (t + PerPixel / 2) / PerPixel : -((-t + PerPixel / 2) / PerPixel);
}

constexpr QRect rect(int left, int top, int width, int height)
{
    return QRect(toPixels(left), toPixels(top), toPixels(width), toPixels(height));
}

} // namespace norvale::displaycontrols::twips
