#pragma once
// When each meter is due for calibration again, kept per serial number in the
// Assistant's settings store. An overdue meter still works: hosts warn, never
// refuse.
#include <QDate>
#include <QString>
#include <optional>

namespace norvale::assistant
{

struct Calibration {
    QDate due;
    QString certificate;

    // Overdue on `today` once the due date has passed.
    bool overdueOn(const QDate &today) const { return due.isValid() && today > due; }
};

// Reads YYYY-MM-DD as a real date; nullopt otherwise.
std::optional<QDate> parseDueDate(const QString &text);

// Stores the calibration of the meter with this serial number. Throws
// norvale::platform::AutomationError when the store cannot be written.
void storeCalibration(const QString &serialNumber, const Calibration &c);

// The stored calibration; nullopt when none is (or the store cannot be read).
std::optional<Calibration> storedCalibration(const QString &serialNumber);

// "due 2027-03-01 (certificate C-1)" and, when it has passed, "OVERDUE".
QString calibrationText(const Calibration &c, const QDate &today);

} // namespace norvale::assistant
