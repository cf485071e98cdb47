#pragma once
// What the subcommands of kest721 share: its output streams, and for those
// that drive the Assistant (log, download, status), the settings stored
// before it starts, the connection that is always left, and the exit status
// after a stop signal.
#include "host/common/ProgressLine.h"
#include "host/common/StopSignals.h"
#include "host/kest721/AssistantSession.h"
#include "host/kest721/Options.h"
#include "host/kest721/TableWriter.h"

#include <QLockFile>
#include <QTextStream>
#include <memory>
#include <optional>

namespace norvale::host
{

inline const QString program = QStringLiteral("kest721");

// Standard output and standard error, one stream each for the whole program.
QTextStream &out();
QTextStream &err();

// Stores --port, --interval and --length where the Assistant reads them when
// it is created, and holds them there until release(): the Assistants of one
// server share those settings, so kest721 hosts started together take turns
// from storing to connecting, and each Assistant opens its own host's port.
// Throws norvale::platform::AutomationError.
class StoredSettings
{
public:
    explicit StoredSettings(const Options &o);
    ~StoredSettings();
    StoredSettings(const StoredSettings &) = delete;
    StoredSettings &operator=(const StoredSettings &) = delete;
    // Once the Assistant has connected (or failed to).
    void release();

private:
    std::unique_ptr<QLockFile> m_turn;
};

// Disconnects the meter on the way out, also when a step failed after the
// connection was made, so that the meter is left measuring on its own.
class Connection
{
public:
    // Connects; shows where on `progress` when given.
    explicit Connection(AssistantSession &s, ProgressLine *progress = nullptr);
    ~Connection();
    void disconnect();

private:
    AssistantSession &m_session;
    bool m_connected = false;
};

// 0, or 128 + N after stop signal N.
int stoppedStatus(const StopSignals &stops);

// The unit of the meter's readings; throws when the meter reports none known.
QString unitOfMeter(AssistantSession &s);

// Closes the files; after a failed write, that failure is the one reported.
void finishRows(TableWriters &rows, std::optional<OutputError> &writeError);

// A warning on standard error when the meter is overdue for calibration.
void warnIfCalibrationOverdue(const QString &serial);

} // namespace norvale::host
