#pragma once
// The subcommands of a command-line host in one table, the way a driver table
// lists its drivers: each entry names a subcommand, says what it does and
// runs it. main looks a name up in the table, --help lists the table, and a
// usage error names the table's entries.
#include <QList>
#include <QString>
#include <span>

namespace norvale::host
{

// One form of a subcommand as --help shows it.
struct Usage {
    const char *synopsis = nullptr; // the name and its arguments; further lines
                                    // ("\n" and their indent) for a long one
    const char *summary = nullptr;  // what it does, one line of --help per "\n"
};

// The part of an entry that --help and the usage errors show. A host's
// entry derives from it and adds how the subcommand runs.
struct Subcommand {
    const char *name; // as typed
    Usage usage;
    Usage more = {}; // a second form with a help entry of its own ("journal export")
};

// The entry named `name`, exactly: an abbreviation is no name, so that a
// script's typing mistake is refused rather than run as another command.
template <typename Entry>
const Entry *findSubcommand(std::span<const Entry> table, const QString &name)
{
    for (const Entry &e : table)
        if (name == QLatin1String(e.name))
            return &e;
    return nullptr;
}

// "info, stream, download, dose or set".
QString subcommandNames(const QList<const Subcommand *> &table);

// The table as --help lists it: each synopsis indented by two, its summary
// from `column` on (beside the synopsis when it fits with two spaces between,
// else on the lines below).
QString subcommandHelp(const QList<const Subcommand *> &table, int column);

template <typename Entry> QList<const Subcommand *> subcommandList(std::span<const Entry> table)
{
    QList<const Subcommand *> list;
    for (const Entry &e : table)
        list.append(&e);
    return list;
}

} // namespace norvale::host
