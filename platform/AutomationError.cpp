#include "platform/AutomationError.h"

namespace norvale::platform
{

AutomationError::AutomationError(int32_t number, QString source, QString description)
    : m_number(number), m_source(std::move(source)), m_description(std::move(description)),
      m_what(QStringLiteral("%1 (%2): %3").arg(m_number).arg(m_source, m_description).toStdString())
{
}

QString AutomationError::toMessage() const
{
    return QString::number(m_number) + QLatin1Char('\n') + m_source + QLatin1Char('\n') +
           m_description;
}

AutomationError AutomationError::fromMessage(const QString &message, int32_t fallbackNumber,
                                             const QString &fallbackSource)
{
    const qsizetype first = message.indexOf(QLatin1Char('\n'));
    const qsizetype second = first < 0 ? -1 : message.indexOf(QLatin1Char('\n'), first + 1);
    if (second > 0) {
        bool ok = false;
        const qlonglong number = message.left(first).trimmed().toLongLong(&ok);
        if (ok && number >= INT32_MIN && number <= INT32_MAX)
            return AutomationError(static_cast<int32_t>(number),
                                   message.mid(first + 1, second - first - 1),
                                   message.mid(second + 1));
    }
    return AutomationError(fallbackNumber, fallbackSource, message);
}

} // namespace norvale::platform
