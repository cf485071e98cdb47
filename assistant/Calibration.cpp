#include "assistant/Calibration.h"

#include "platform/AutomationError.h"
#include "assistant/Settings.h"
#include "assistant/cRegistry.h"

#include <QLoggingCategory>
#include <QRegularExpression>

Q_LOGGING_CATEGORY(lcCalibration, "norvale.assistant.calibration")

namespace norvale::assistant
{

namespace
{
cRegistry at(const QString &serialNumber, const char *valueName)
{
    cRegistry r;
    r.setClassKey(settings::RootKey);
    r.setSectionKey(QString::fromLatin1(settings::CalibrationKey) + serialNumber);
    r.setValueKey(QString::fromLatin1(valueName));
    r.setValueType(cRegistry::REG_SZ);
    return r;
}
} // namespace

std::optional<QDate> parseDueDate(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    if (!form.match(text.trimmed()).hasMatch())
        return std::nullopt;
    const QDate d = QDate::fromString(text.trimmed(), Qt::ISODate);
    if (!d.isValid())
        return std::nullopt;
    return d;
}

void storeCalibration(const QString &serialNumber, const Calibration &c)
{
    at(serialNumber, settings::CalibrationDue).setValue(c.due.toString(Qt::ISODate));
    at(serialNumber, settings::CalibrationCertificate).setValue(c.certificate);
}

std::optional<Calibration> storedCalibration(const QString &serialNumber)
{
    if (serialNumber.isEmpty())
        return std::nullopt;
    try {
        cRegistry due = at(serialNumber, settings::CalibrationDue);
        if (!due.KeyExists())
            return std::nullopt;
        due.setDefault(QString());
        const std::optional<QDate> date = parseDueDate(due.Value().toString());
        if (!date)
            return std::nullopt;
        cRegistry certificate =
            at(serialNumber, settings::CalibrationCertificate);
        certificate.setDefault(QString());
        return Calibration{*date, certificate.Value().toString()};
    } catch (const norvale::platform::AutomationError &e) {
        qCWarning(lcCalibration).noquote() << "calibration not read:" << e.description();
        return std::nullopt;
    }
}

QString calibrationText(const Calibration &c, const QDate &today)
{
    QString text = QStringLiteral("due %1").arg(c.due.toString(Qt::ISODate));
    if (!c.certificate.isEmpty())
        text += QStringLiteral(" (certificate %1)").arg(c.certificate);
    if (c.overdueOn(today))
        text += QStringLiteral(", OVERDUE");
    return text;
}

} // namespace norvale::assistant
