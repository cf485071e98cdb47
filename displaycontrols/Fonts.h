#pragma once
// The one place where the faces named in the layouts become installed fonts:
// the named family where it is installed, else the closest installed face.
#include <QFont>
#include <QString>

namespace norvale::displaycontrols::fonts
{

// The installed family that stands for designFamily; chosen once per name.
QString family(const QString &designFamily);

// A font of that family at a size in points, set in pixels at 96 pixels an
// inch so that text keeps its place in the twip layouts on any screen.
QFont font(const QString &designFamily, double points, bool bold = false);

} // namespace norvale::displaycontrols::fonts
