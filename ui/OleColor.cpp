#include "ui/OleColor.h"
#include "ui/OleColorPrivate.h"

#include <QGuiApplication>
#include <QPalette>

namespace norvale::ui
{

namespace
{

// The desktop's system colour indices, as far as the application palette has
// a counterpart for them.
std::optional<QColor> paletteColor(int index)
{
    const QPalette pal = QGuiApplication::palette();
    switch (index) {
    case 0: // scroll bar
        return pal.color(QPalette::Button);
    case 1: // desktop
        return pal.color(QPalette::Dark);
    case 2:  // active caption
    case 13: // highlight
    case 27: // active caption gradient
        return pal.color(QPalette::Highlight);
    case 3:  // inactive caption
    case 28: // inactive caption gradient
        return pal.color(QPalette::Inactive, QPalette::Highlight);
    case 4:  // menu
    case 30: // menu bar
        return pal.color(QPalette::Window);
    case 5: // window background
        return pal.color(QPalette::Base);
    case 6:  // window frame
    case 21: // 3-D dark shadow
        return pal.color(QPalette::Shadow);
    case 7: // menu text
        return pal.color(QPalette::WindowText);
    case 8: // window text
        return pal.color(QPalette::Text);
    case 9:  // caption text
    case 14: // highlighted text
        return pal.color(QPalette::HighlightedText);
    case 10: // active border
    case 11: // inactive border
    case 15: // button face
        return pal.color(QPalette::Button);
    case 12: // application workspace
        return pal.color(QPalette::Mid);
    case 16: // button shadow
        return pal.color(QPalette::Dark);
    case 17: // grey text
        return pal.color(QPalette::Disabled, QPalette::Text);
    case 18: // button text
        return pal.color(QPalette::ButtonText);
    case 19: // inactive caption text
        return pal.color(QPalette::Inactive, QPalette::HighlightedText);
    case 20: // button highlight
        return pal.color(QPalette::Light);
    case 22: // 3-D light
        return pal.color(QPalette::Midlight);
    case 23: // tool tip text
        return pal.color(QPalette::ToolTipText);
    case 24: // tool tip background
        return pal.color(QPalette::ToolTipBase);
    case 26: // hot-tracked item
        return pal.color(QPalette::Link);
    case 29: // menu highlight
        return pal.color(QPalette::Highlight);
    default:
        return std::nullopt;
    }
}

} // namespace

std::optional<OLE_COLOR> translateOleColor(OLE_COLOR c, const QList<QRgb> *palette)
{
    switch (c >> 24) {
    case 0x00:
        return c;
    case 0x80:
        if (auto q = paletteColor(static_cast<int>(c & 0xFFu)))
            return colorRefFromRgb(q->rgb());
        return std::nullopt;
    case 0x01: {
        const qsizetype index = c & 0xFFFFu;
        if (palette && index < palette->size())
            return colorRefFromRgb(palette->at(index));
        return std::nullopt;
    }
    case 0x02:
        // On a true-colour surface a palette-relative colour is used as it stands.
        return c & 0x00FFFFFFu;
    default:
        return std::nullopt;
    }
}

QColor toQColor(OLE_COLOR c)
{
    return QColor::fromRgb(rgbFromColorRef(translateOleColor(c, nullptr).value_or(0)));
}

} // namespace norvale::ui
