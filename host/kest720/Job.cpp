#include "host/kest720/Job.h"

#include "host/common/Csv.h"

#include "platform/SerialLink.h"
#include "platform/automation/Automation.h"

#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

namespace norvale::host
{

namespace
{
const StopSignals *g_stops = nullptr;
bool g_outputBroken = false;
// The wait in progress, which a failed write ends.
QEventLoop *g_waiting = nullptr;
} // namespace

void emitLine(const QString &line)
{
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    if (std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout) !=
            static_cast<size_t>(bytes.size()) ||
        std::fflush(stdout) != 0) {
        g_outputBroken = true;
        if (g_waiting)
            g_waiting->quit();
    }
}

void note(const QString &line)
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(programName), qPrintable(line));
}

void watchStops(const StopSignals &stops)
{
    g_stops = &stops;
}

bool stopAsked()
{
    return (g_stops && g_stops->arrived() > 0) || g_outputBroken;
}

void Wait::finish()
{
    m_finished = true;
    m_loop.quit();
}

void Wait::run(qint64 ms)
{
    if (m_finished || stopAsked())
        return;
    QMetaObject::Connection stopped;
    if (g_stops)
        stopped = QObject::connect(g_stops, &StopSignals::received, &m_loop, [this] {
            if (stopAsked())
                m_loop.quit();
        });
    // A timer's interval is an int of milliseconds: a longer limit is
    // waited in steps of a day.
    QElapsedTimer clock;
    clock.start();
    QTimer limit;
    limit.setSingleShot(true);
    constexpr qint64 dayMs = 24LL * 3600 * 1000;
    QObject::connect(&limit, &QTimer::timeout, &m_loop, [&] {
        const qint64 left = ms - clock.elapsed();
        if (left <= 0)
            m_loop.quit();
        else
            limit.start(static_cast<int>(std::min(left, dayMs)));
    });
    if (ms >= 0)
        limit.start(static_cast<int>(std::min(ms, dayMs)));
    g_waiting = &m_loop;
    m_loop.exec();
    g_waiting = nullptr;
    QObject::disconnect(stopped);
}

const char *unitName(control::TYPE_UNITS u)
{
    switch (u) {
    case control::unitR:
        return "R";
    case control::unitSv:
        return "Sv";
    case control::unitUnknown:
        break;
    }
    return "unknown";
}

QString csvMeasurement(const control::Measurement &m)
{
    return QStringLiteral("%1,%2,%3,%4")
        .arg(m.Value, 0, 'g', 10)
        .arg(QString::fromLatin1(unitName(m.Unit)))
        .arg(static_cast<int>(m.Prefix))
        .arg(csvField(m.UnitString));
}

namespace
{
// What an error number means, named after the layer that raised it and put
// before the usual "error NUMBER (SOURCE): DESCRIPTION".
QString errorMeaning(int32_t number)
{
    namespace e = norvale::platform::error;
    namespace s = norvale::platform::serialerror;
    if (number == norvale::platform::vbObjectError + 1)
        return QStringLiteral("721 Control ");
    switch (number) {
    case s::invalidPortNumber:
    case s::portAlreadyOpen:
    case s::portNotOpen:
    case s::openFailed:
        return QStringLiteral("serial port ");
    case e::serverGone:
    case e::callTimedOut:
    case e::typeMismatch:
    case e::permissionDenied:
    case e::notSupported:
    case e::readOnly:
    case e::wrongArguments:
    case e::automationError:
        return QStringLiteral("bus ");
    default:
        return {};
    }
}
} // namespace

QString errorLine(const norvale::platform::AutomationError &e)
{
    return QStringLiteral("%1error %2 (%3): %4")
        .arg(errorMeaning(e.number()))
        .arg(e.number())
        .arg(e.source(), e.description());
}

} // namespace norvale::host
