#pragma once
// The bitmap resources of the components, compiled in through the Qt
// resource system. A number that names no picture gives a null image.
#include <QImage>

namespace norvale::resources
{

// Bitmap resource of the display component: the LED pictures 101 to 110.
QImage displayPicture(int number);
// Bitmap resource of the Assistant: 103 is the message window's picture.
QImage assistantPicture(int number);

} // namespace norvale::resources
