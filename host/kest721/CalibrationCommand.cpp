// kest721 calibration: the calibration due date of a meter, shown or stored.
#include "host/kest721/CalibrationCommand.h"

#include "assistant/Calibration.h"
#include "platform/AutomationError.h"

#include <QTextStream>

namespace norvale::host
{

using platform::AutomationError;

int runCalibration(const CalibrationRequest &request)
{
    QTextStream out(stdout);
    if (!request.due.isEmpty()) {
        const std::optional<QDate> due = norvale::assistant::parseDueDate(request.due);
        // Checked by the parser already; kept here for callers of this function alone.
        if (!due)
            throw AutomationError(
                1, QStringLiteral("kest721"),
                QStringLiteral("--due needs a date as YYYY-MM-DD, not '%1'").arg(request.due));
        norvale::assistant::Calibration c{*due, request.certificate.value_or(QString())};
        if (!request.certificate) {
            if (const auto stored = norvale::assistant::storedCalibration(request.serialNumber))
                c.certificate = stored->certificate;
        }
        norvale::assistant::storeCalibration(request.serialNumber, c);
    }
    const std::optional<norvale::assistant::Calibration> c =
        norvale::assistant::storedCalibration(request.serialNumber);
    if (!c) {
        out << "Calibration of " << request.serialNumber << ": no due date recorded\n";
        out.flush();
        return 0;
    }
    out << "Calibration of " << request.serialNumber << ": "
        << norvale::assistant::calibrationText(*c, QDate::currentDate()) << '\n';
    out.flush();
    return 0;
}

void printCalibration(const QString &serialNumber)
{
    QTextStream out(stdout);
    const std::optional<norvale::assistant::Calibration> c =
        norvale::assistant::storedCalibration(serialNumber);
    out << "Calibration: "
        << (c ? norvale::assistant::calibrationText(*c, QDate::currentDate())
              : QStringLiteral("no due date recorded"))
        << '\n';
    out.flush();
    if (c && c->overdueOn(QDate::currentDate())) {
        QTextStream err(stderr);
        err << "kest721: warning: the 721 (serial number " << serialNumber
            << ") was due for calibration on " << c->due.toString(Qt::ISODate)
            << "; it still works\n";
    }
}

} // namespace norvale::host
