#include "displaycontrols/Fonts.h"

#include <QFontDatabase>
#include <QHash>
#include <QLoggingCategory>
#include <cmath>

Q_LOGGING_CATEGORY(lcFonts, "norvale.fonts")

namespace norvale::displaycontrols::fonts
{

namespace
{

// Nearest faces by shape and width, best first; the DejaVu faces are always
// installed with the system and close to the wide humanist designs.
QStringList candidates(const QString &designFamily)
{
    static const QHash<QString, QStringList> table = {
        {QStringLiteral("Verdana"),
         {"Verdana", "DejaVu Sans", "Bitstream Vera Sans", "Liberation Sans"}},
        {QStringLiteral("Lucida Sans Unicode"),
         {"Lucida Sans Unicode", "Lucida Grande", "Lucida Sans", "DejaVu Sans", "Liberation Sans"}},
        {QStringLiteral("Arial"),
         {"Arial", "Liberation Sans", "Arimo", "Helvetica", "Nimbus Sans", "DejaVu Sans"}},
        {QStringLiteral("MS Sans Serif"),
         {"MS Sans Serif", "Microsoft Sans Serif", "Liberation Sans", "Arial", "DejaVu Sans"}},
    };
    return table.value(designFamily, {designFamily});
}

} // namespace

QString family(const QString &designFamily)
{
    static QHash<QString, QString> chosen;
    if (const auto it = chosen.constFind(designFamily); it != chosen.constEnd())
        return *it;
    const QStringList installed = QFontDatabase::families();
    QString pick;
    for (const QString &c : candidates(designFamily))
        if (installed.contains(c, Qt::CaseInsensitive)) {
            pick = c;
            break;
        }
    if (pick.isEmpty())
        pick = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    if (pick.compare(designFamily, Qt::CaseInsensitive) != 0)
        qCDebug(lcFonts) << designFamily << "is not installed; using" << pick;
    chosen.insert(designFamily, pick);
    return pick;
}

QFont font(const QString &designFamily, double points, bool bold)
{
    QFont f(family(designFamily));
    f.setPixelSize(qMax(1, static_cast<int>(std::lround(points * 96.0 / 72.0))));
    f.setBold(bold);
    f.setStyleHint(QFont::SansSerif);
    return f;
}

} // namespace norvale::displaycontrols::fonts
