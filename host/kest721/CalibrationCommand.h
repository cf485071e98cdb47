#pragma once
// kest721 calibration: the calibration due date of a meter. Its failures are
// norvale::platform::AutomationError, printed by main as every other.
#include <QString>
#include <optional>

namespace norvale::host
{

struct CalibrationRequest {
    QString serialNumber;
    QString due; // empty: show what is stored
    std::optional<QString> certificate;
};

int runCalibration(const CalibrationRequest &request);

// "Calibration: due ..." for kest721 status, and a warning line on standard
// error when it is overdue.
void printCalibration(const QString &serialNumber);

} // namespace norvale::host
