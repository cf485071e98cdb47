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
    const auto add = [&](const Usage &u) {
        const QString synopsis = QStringLiteral("  ") + QLatin1String(u.synopsis);
        help += synopsis;
        const qsizetype lastLine = synopsis.size() - (synopsis.lastIndexOf(u'\n') + 1);
        if (lastLine + 2 <= column)
            help += QString(column - lastLine, u' ');
        else
            help += u'\n' + indent;
        help += QString::fromUtf8(u.summary).replace(u'\n', u'\n' + indent) + u'\n';
    };
    for (const Subcommand *s : table) {
        add(s->usage);
        if (s->more.synopsis)
            add(s->more);
    }
    return help;
}

} // namespace norvale::host
