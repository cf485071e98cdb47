#pragma once
// What every subcommand of kest720-cli works with: the request as the command
// line gave it, the meter's object, its rows on standard output, its notes
// on standard error, and the wait on the server that a stop ends.
#include "control/dbus/kest720Proxy.h"
#include "host/common/StopSignals.h"

#include <QEventLoop>
#include <QString>

namespace norvale::host
{

inline const QString programName = QStringLiteral("kest720-cli");

// One setting of `set`: the property, its value checked and converted.
struct Setting {
    QString name; // as the property is spelt
    int value = 0;
    QString typed; // as the user wrote the value
};

struct Request {
    int port = 0;
    QString command;
    qint64 seconds = 0;
    Setting setting;
};

enum class Ending { Done, Interrupted };

struct Job {
    control::kest720Proxy &meter;
    const Request &request;
    qint64 startupMs; // from creating the object to the meter's prompt
};

// A row on standard output, flushed at once, so that a reader of a pipe or a
// file sees each record as it arrives and an interrupt loses none.
void emitLine(const QString &line);
// "kest720-cli: TEXT" on standard error.
void note(const QString &line);

// The stop signals that end a job; main installs them once.
void watchStops(const StopSignals &stops);
// Whether the job is to stop: a stop signal came, or standard output is gone.
bool stopAsked();

// One wait on the server: the event loop sleeps until finish() is called (by
// the event waited for), a stop is asked, or the time limit passes. Nothing
// polls, so a client that waits an hour for the meter uses no CPU meanwhile.
class Wait
{
public:
    void finish();
    bool finished() const { return m_finished; }
    // Returns at once when already finished or stopped; ms < 0: no limit.
    void run(qint64 ms = -1);

private:
    QEventLoop m_loop;
    bool m_finished = false;
};

// The meter's words and numbers as the rows give them.
const char *unitName(control::TYPE_UNITS u);
QString csvMeasurement(const control::Measurement &m);
// "serial port error NUMBER (SOURCE): DESCRIPTION", the layer named when known.
QString errorLine(const norvale::platform::AutomationError &e);

} // namespace norvale::host
