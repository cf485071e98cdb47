#include "Bitmaps.h"

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

namespace norvale::bitmaps
{

namespace
{

QImage load(const char *component, int number)
{
    initBitmapResources();
    return QImage(
        QStringLiteral(":/norvale/bitmaps/%1/%2.bmp").arg(QLatin1String(component)).arg(number));
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

} // namespace norvale::bitmaps
