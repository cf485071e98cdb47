#pragma once
// The CSV both hosts write: a field quoted when it must be, fields joined by
// commas (RFC 4180).
#include <QString>
#include <QStringList>

namespace norvale::host
{

// A CSV field, quoted when it holds a comma, a quote or a line break.
QString csvField(const QString &text);
// One CSV line without its line break.
QString csvLine(const QStringList &fields);

} // namespace norvale::host
