#include "resources/Bitmaps.h"

#include <QHash>
#include <QString>

// Outside any namespace, as the resource initialiser requires; called before
// each look-up because a static library's initialisers may be dropped.
static void initBitmapResources()
{
    static const bool done = [] {
        Q_INIT_RESOURCE(bitmaps);
        return true;
    }();
    (void)done;
}

namespace norvale::resources
{

namespace
{

// Decoded once: the LED flashes four times a second, and decoding its bitmap
// each time was most of the display's work while an alarm flashed. The
// pictures are used on the user-interface thread only.
QImage load(const char *component, int number)
{
    initBitmapResources();
    const QString path =
        QStringLiteral(":/norvale/bitmaps/%1/%2.bmp").arg(QLatin1String(component)).arg(number);
    static QHash<QString, QImage> decoded;
    const auto it = decoded.constFind(path);
    if (it != decoded.constEnd())
        return *it;
    return *decoded.insert(path, QImage(path));
}

} // namespace

QImage displayPicture(int number)
{
    return load("kest720ui", number);
}

QImage assistantPicture(int number)
{
    return load("kest721xl", number);
}

} // namespace norvale::resources
