#include "host/common/Subcommands.h"

#include <QStringList>

namespace norvale::host
{

QString subcommandNames(const QList<const Subcommand *> &table)
{
    QStringList names;
    for (const Subcommand *s : table)
        names << QLatin1String(s->name);
    if (names.size() < 2)
        return names.join(QString());
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

QString subcommandHelp(const QList<const Subcommand *> &table, int column)
{
    const QString indent(column, u' ');
    QString help;
    for (const Subcommand *s : table) {
        const QString synopsis = QStringLiteral("  ") + QLatin1String(s->synopsis);
        help += synopsis;
        const qsizetype lastLine = synopsis.size() - (synopsis.lastIndexOf(u'\n') + 1);
        if (lastLine + 2 <= column)
            help += QString(column - lastLine, u' ');
        else
            help += u'\n' + indent;
        help += QString::fromUtf8(s->summary).replace(u'\n', u'\n' + indent) + u'\n';
    }
    return help;
}

} // namespace norvale::host
