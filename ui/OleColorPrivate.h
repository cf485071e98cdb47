#pragma once
// Colour translation shared by the painting effects and toQColor().
#include "ui/OleColor.h"

#include <QList>
#include <optional>

namespace norvale::ui
{

// The &H00BBGGRR value of an OLE colour, or nothing when it names no colour
// (an unknown system colour, a palette index without a palette).
std::optional<OLE_COLOR> translateOleColor(OLE_COLOR c, const QList<QRgb> *palette);

} // namespace norvale::ui
