#include "host/kest721/MeterJob.h"

#include "assistant/Calibration.h"
#include "assistant_interface.h"
#include "host/common/ExitStatus.h"
#include "host/kest721/HostSettings.h"
#include "host/kest721/Rows.h"
#include "platform/AutomationError.h"
#include "platform/SerialLink.h"
#include "platform/registry/RegistryStore.h"

#include <QDir>
#include <QFileInfo>

namespace norvale::host
{

using platform::AutomationError;

namespace
{
// How long a host waits for others to connect before it: a Connect that
// finds no meter takes a few seconds, and a queue of hosts a few of those.
constexpr int startTurnMs = 60000;
} // namespace

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

StoredSettings::StoredSettings(const Options &o)
{
    // Beside the settings store, so that hosts of one store take turns.
    const QString path = norvale::platform::databasePath(norvale::platform::HKEY_CURRENT_USER) +
                         QStringLiteral(".kest721-start.lock");
    // A first run on this account has no folder for the store yet.
    QDir().mkpath(QFileInfo(path).absolutePath());
    m_turn = std::make_unique<QLockFile>(path);
    // A host that died holding it leaves no turn behind: the lock names its pid.
    m_turn->setStaleLockTime(0);
    if (!m_turn->tryLock(startTurnMs))
        throw AutomationError(1, program,
                              m_turn->error() == QLockFile::LockFailedError
                                  ? QStringLiteral("Another kest721 has been connecting for %1 s; "
                                                   "try again once it has connected.")
                                        .arg(startTurnMs / 1000)
                                  : QStringLiteral("Cannot take turns with other hosts: %1 cannot "
                                                   "be written.")
                                        .arg(path));
    if (o.port)
        storeComPort(*o.port);
    storeRunTimes(o.runTimes.intervalSeconds, o.runTimes.lengthSeconds);
}

StoredSettings::~StoredSettings() = default;

void StoredSettings::release()
{
    m_turn.reset();
}

Connection::Connection(AssistantSession &s, ProgressLine *progress) : m_session(s)
{
    // The port as the Assistant will find it: --port has been stored already.
    const int16_t port = storedComPort();
    const QString path = norvale::platform::resolvePortPath(port);
    const QString where = QStringLiteral("port %1 (%2)")
                              .arg(port)
                              .arg(path.isEmpty() ? QStringLiteral("no device") : path);
    if (progress)
        progress->show(QStringLiteral("Connecting to the 721 on %1...").arg(where));
    m_session.call(&AssistantInterface::Connect);
    // Every failure of Connect opens a box; this catches any other way
    // of not getting there.
    if (!m_session.Initialized())
        throw AutomationError(1, program, QStringLiteral("The 721 is not connected."));
    m_connected = true;
    // A line that stays: which port the run's readings come from.
    if (progress) {
        progress->show(QStringLiteral("Connected to the 721 on %1.").arg(where));
        progress->finish();
    }
}

Connection::~Connection()
{
    try {
        disconnect();
    } catch (const std::exception &) {
        // Already leaving through an error; the Assistant closes the
        // port when it is released.
    }
}

void Connection::disconnect()
{
    if (!m_connected)
        return;
    m_connected = false;
    m_session.call(&AssistantInterface::Disconnect);
}

int stoppedStatus(const StopSignals &stops)
{
    return stops.count() > 0 ? exitstatus::stoppedBy(stops.lastSignal()) : exitstatus::done;
}

QString unitOfMeter(AssistantSession &s)
{
    const int units = s.controlProperty(QStringLiteral("Units")).toInt();
    const QString unit = unitOfInstrumentUnits(units);
    if (unit.isEmpty())
        throw AutomationError(1, program,
                              QStringLiteral("The 721 reports unknown units (%1).").arg(units));
    return unit;
}

void finishRows(TableWriters &rows, std::optional<OutputError> &writeError)
{
    try {
        rows.close();
    } catch (const OutputError &e) {
        if (!writeError)
            writeError.emplace(e);
    }
}

void warnIfCalibrationOverdue(const QString &serial)
{
    const std::optional<norvale::assistant::Calibration> c =
        norvale::assistant::storedCalibration(serial);
    if (c && c->overdueOn(QDate::currentDate())) {
        err() << "kest721: warning: the 721 (serial number " << serial
              << ") was due for calibration on " << c->due.toString(Qt::ISODate) << '\n';
        err().flush();
    }
}

} // namespace norvale::host
