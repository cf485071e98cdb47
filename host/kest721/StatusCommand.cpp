// kest721 status: whether the meter connects, what it is, and where its
// calibration and publishing stand.
#include "host/common/MeterNames.h"
#include "host/kest721/CalibrationCommand.h"
#include "host/kest721/Commands.h"
#include "host/kest721/MeterJob.h"
#include "host/kest721/PublishCommand.h"

namespace norvale::host
{

int runStatus(const Options &o, const StopSignals &stops)
{
    // The Assistant reads its settings when it is created.
    StoredSettings stored(o);
    AssistantSession session(o.save, stops);
    std::optional<Connection> connection;
    try {
        connection.emplace(session);
    } catch (const BoxError &) {
        out() << "Connected: no\n";
        out().flush();
        throw;
    }
    stored.release();
    const int units = session.controlProperty(QStringLiteral("Units")).toInt();
    out() << "Connected: yes\n";
    out() << "Serial number: " << session.controlProperty(QStringLiteral("SerialNumber")).toString()
          << '\n';
    const int model = session.controlProperty(QStringLiteral("Model")).toInt();
    const QString name = modelName(model);
    out() << "Model: " << (name.isEmpty() ? QStringLiteral("unknown (%1)").arg(model) : name)
          << '\n';
    out() << "Units: "
          << (units == 1   ? "roentgen (mR/h)"
              : units == 2 ? "sievert (uSv/h)"
                           : "unknown")
          << '\n';
    out() << "Initialized: " << (session.Initialized() ? "true" : "false") << '\n';
    out().flush();
    printCalibration(session.controlProperty(QStringLiteral("SerialNumber")).toString());
    connection->disconnect();
    // Read last: the server has had the time to try its broker.
    out() << publishingStatusLine() << '\n';
    out().flush();
    session.release();
    return stoppedStatus(stops);
}

} // namespace norvale::host
