#include "control/kest720.h"

#include "control/Protocol.h"
#include "platform/AutomationError.h"
#include "platform/Clock.h"
#include "platform/Ticks.h"

#include <QLoggingCategory>

namespace norvale::control
{

using norvale::control::lcKest720;
using norvale::control::Trace;
using norvale::platform::AutomationError;
using norvale::platform::pumpEvents;
using norvale::platform::ticksSince;

namespace
{
constexpr int32_t kErrorNumber = norvale::platform::vbObjectError + 1;

// Counts a loop on the stack while it runs, however it leaves: a loop can
// start nested inside another (a second StartLog re-arms the tick while the
// first stream still runs), so only a depth of zero means idle.
struct DepthScope {
    int &depth;
    explicit DepthScope(int &d) : depth(d) { ++depth; }
    ~DepthScope() { --depth; }
};
} // namespace

kest720::kest720(QObject *parent) : kest720(&norvale::platform::makeQtSerialLink, nullptr, parent)
{
}

kest720::kest720(LinkFactory factory, norvale::platform::ClockSource *clock, QObject *parent)
    : QObject(parent), m_link(std::move(factory), clock)
{
    qRegisterMetaType<Measurement>();
    // Children, so that they move with the instrument to the thread it works on.
    TimerLiveData.setParent(this);
    TimerDataLog.setParent(this);
    TimerLiveData.setInterval(40);
    TimerDataLog.setInterval(40);
    connect(&TimerLiveData, &QTimer::timeout, this, &kest720::TimerLiveData_Timer);
    connect(&TimerDataLog, &QTimer::timeout, this, &kest720::TimerDataLog_Timer);
}

kest720::~kest720()
{
    TimerLiveData.stop();
    TimerDataLog.stop();
    m_link.close();
}

void kest720::raise(const QString &description) const
{
    throw AutomationError(kErrorNumber, norvale::control::kest720errors::source, description);
}

void kest720::emitIdleWhenDone()
{
    // An inner loop that returns into an outer one leaves the object busy:
    // whoever waits for idle (a StopLog reply, a shutdown) must wait on.
    if (!isBusy())
        emit idle();
}

// ---- Serial link -------------------------------------------------------------

control::Ranges &kest720::Ranges()
{
    return m_ranges;
}
void kest720::setRanges(const control::Ranges &ranges)
{
    m_ranges = ranges;
}

void kest720::OpenPort()
{
    // Never reports an error: a client finds a closed port when Initialize fails.
    m_link.open(m_port, m_clientName);
}

void kest720::ClosePort()
{
    if (!m_link.hasPort())
        return;
    m_link.close();
    m_ranges.Clear();
    m_initialized = false;
}

// ---- Start-up, ranges and settings ----------------------------------------

void kest720::rewriteFirstRangeForK()
{
    // A 720K reports readings and log records of its lowest roentgen range in
    // uR/h, although its range report prints that range as 0.5 mR/h.
    Range &first = m_ranges.Item(1);
    first.ScaleNumber = 500;
    first.ScaleUnits = QStringLiteral("uR/h");
    first.Display = QStringLiteral("500 uR/h");
}

void kest720::Initialize()
{
    Trace(QStringLiteral("Starting Initialize"));
    m_initialized = false;
    m_link.setMode(LinkMode::linkUnknown);
    if (!m_link.hasPort())
        raise(QStringLiteral("Communications port is not open."));
    Trace(QStringLiteral("Going to StartCommandMode"));
    if (!m_link.StartCommandMode()) {
        // A meter left streaming (by a session that ended without stopping
        // it) talks but never answers "C": end the stream, then ask again.
        if (!m_link.heardTalking())
            raise(QStringLiteral("Unable to start command mode."));
        qCInfo(lcKest720) << "the meter talks without a prompt; ending its stream";
        m_link.ExitStreamMode();
        m_link.setMode(LinkMode::linkUnknown);
        if (!m_link.StartCommandMode())
            raise(QStringLiteral("Unable to start command mode."));
    }
    Trace(QStringLiteral("Updating ranges"));
    if (UpdateRanges() < 0)
        raise(QStringLiteral("Unable to download the ranges."));
    if (m_ranges.Count() >= 1) {
        const Range &first = m_ranges.Item(1);
        if (first.ScaleUnits.contains(QLatin1Char('R'))) {
            m_units = unitR;
            if (first.ScaleNumber == 0.5f) {
                m_model = model720K;
                m_page = QLatin1Char('D');
                rewriteFirstRangeForK();
            } else {
                m_model = model720M;
                m_page = QLatin1Char('9');
            }
        } else if (first.ScaleUnits.contains(QLatin1StringView("Sv"))) {
            m_units = unitSv;
            const bool k = first.ScaleNumber == 5.0f;
            m_model = k ? model720K : model720M;
            m_page = k ? QLatin1Char('D') : QLatin1Char('9');
        }
    }
    Trace(QStringLiteral("Reading 720Settings"));
    Read720Settings();
    m_initialized = true;
    m_link.StartCommandMode();
    Trace(QStringLiteral("Ending Initialize  - Success"));
}

int16_t kest720::UpdateRanges()
{
    Trace(QStringLiteral("Starting UpdateRanges"));
    if (!m_link.StartCommandMode()) {
        Trace(QStringLiteral("Ending UpdateRanges - Unable to start command mode"));
        return -1;
    }
    m_link.clearInput();
    const QString reply = m_link.command("R");
    const std::optional<QList<Range>> table = norvale::control::ParseRangeReport(reply);
    if (!table) {
        Trace(QStringLiteral("Ending UpdateRanges - bad response:  "));
        Trace(QStringLiteral("\r\n") + reply + QStringLiteral("\r\n"));
        return -2;
    }
    m_ranges.Clear();
    for (const Range &r : *table)
        m_ranges.Add(r.ScaleUnits, r.ScaleNumber, r.CommandIndex, r.Display);
    m_ranges.Add(QStringLiteral("No Blink"), 0, 6, QStringLiteral("No Blink"));
    Trace(QStringLiteral("Ending UpdateRanges - Success!"));
    return 0;
}

int16_t kest720::Read720Settings()
{
    Trace(QStringLiteral("Starting Read720Settings"));
    // Page "9" may send us to page "D" once; a page "D" that still says it
    // holds no settings ends the read instead of looping for ever.
    for (int read = 0; read < 2; ++read) {
        QStringList bytes{QString()};
        const QString address = QString(m_page) + QStringLiteral("FD0");
        m_link.ReadMemoryLocation(address, bytes);
        if (bytes.size() - 1 == 0)
            raise(QStringLiteral("Unable to get the alarm settings"));
        // A missing entry (a dump line cut short) converts like bad text.
        auto b = [&bytes](int k) {
            return norvale::control::HexToInt(k < bytes.size() ? bytes[k] : QString());
        };
        if (b(13) == 0xDD) {
            if (m_page == QLatin1Char('D'))
                break;
            m_page = QLatin1Char('D');
            m_link.waitIgnored();
            continue;
        }
        const int16_t alarmRange = static_cast<int16_t>(((b(15) & 0xF0) >> 4) + 1);
        const int16_t alarmPercent = b(2);
        const int16_t sampleRate = m_page == QLatin1Char('D') ? b(12) : b(3);
        const int16_t flags = b(13);
        auto twoDigits = [&bytes](int k) {
            if (k >= bytes.size())
                throw AutomationError(13, QStringLiteral("kest720"),
                                      QStringLiteral("Type mismatch"));
            const QString text = bytes[k].trimmed();
            bool ok = false;
            const int v = text.toInt(&ok);
            return ok && v >= 0 ? QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')) : bytes[k];
        };
        const QString serial = twoDigits(4) + twoDigits(5);
        m_alarmRange = alarmRange;
        m_alarmPercent = alarmPercent;
        m_sampleRate = sampleRate;
        m_modeButton = static_cast<TYPE_MODEBUTTON>(flags & 3);
        m_clearLog = (flags & 0x10) ? clearlogIntegrateReset : clearlogTurnOnOnly;
        m_serialNumber = serial;
        Trace(QStringLiteral("Ending Read720Settings- Success"));
        return 0;
    }
    raise(QStringLiteral("Unable to get the alarm settings"));
}

TYPE_MODEL kest720::Model() const
{
    if (!m_initialized)
        raise(QStringLiteral("Not Initialized"));
    return m_model;
}

QString kest720::SerialNumber() const
{
    if (!m_initialized)
        raise(QStringLiteral("Not Initialized"));
    return m_serialNumber;
}

// ---- Live data stream ------------------------------------------------------

void kest720::StartLog()
{
    if (!m_link.StartCommandMode())
        raise(QStringLiteral("Unable to start command mode."));
    // Cleared here rather than at the tick, so that a StopLog that comes
    // before the first tick is not lost.
    m_link.clearStop();
    TimerLiveData.start();
}

void kest720::StopLog()
{
    m_link.requestStop();
    if (!m_link.StartCommandMode())
        raise(QStringLiteral("Unable to start command mode."));
    m_currentScale.clear();
}

void kest720::TimerLiveData_Timer()
{
    TimerLiveData.stop();
    if (m_link.stopRequested() || !m_link.hasPort())
        return; // stopped before the stream began: the meter was never asked to stream
    {
        DepthScope busy(m_liveLoopDepth);
        LiveLoop();
    }
    emitIdleWhenDone();
}

void kest720::LiveLoop()
{
    try {
        m_link.startStream();
        QString buf;
        uint32_t t0 = m_link.tickCount();
        for (;;) {
            if (m_link.bytesWaiting() > 0) {
                t0 = m_link.tickCount();
            } else if (ticksSince(t0, m_link.tickCount()) > 10000) {
                emit LiveDataError();
                break;
            }
            if (m_link.stopRequested())
                break;
            pumpEvents();
            pumpEvents();
            buf += m_link.readStream();
            pumpEvents();
            m_link.pause(100);
            pumpEvents();
            // Every complete token is taken in the same pass, so that readings
            // never fall behind a meter that talks faster than ten tokens a second.
            while (!m_link.stopRequested() && norvale::control::TokenizePass(
                                                  buf, m_currentScale,
                                                  [this](double value) {
                                                      Measurement m;
                                                      m.Value = value;
                                                      m.Prefix = norvale::control::ParsePrefix(m_currentScale);
                                                      m.Unit = m_units;
                                                      m.UnitString = m_currentScale;
                                                      emit LiveData(m);
                                                  },
                                                  [] { pumpEvents(); })) {
            }
        }
        pumpEvents();
        m_link.ExitStreamMode();
    } catch (const AutomationError &e) {
        // The line went away under the stream: tell the client, and forget
        // what the meter's state was.
        qCWarning(lcKest720).noquote() << "live data stream failed:" << e.description();
        m_link.setMode(LinkMode::linkUnknown);
        emit LiveDataError();
    }
}

// ---- Instrument settings ---------------------------------------------------

int16_t kest720::AlarmRange() const
{
    if (!m_initialized)
        raise(QStringLiteral("Not Initialized"));
    return m_alarmRange;
}

void kest720::setAlarmRange(int16_t n)
{
    if (n < 1 || n > 6)
        raise(QStringLiteral("Bad Alarm scale settings"));
    // The monitor takes the digits as hexadecimal: 10 is the byte 0x10, that
    // is the range number minus 1 in the high four bits.
    QString text = QString::number((n - 1) * 10);
    if (!m_link.SetMemoryLocation(QString(m_page) + QStringLiteral("FDF"), text))
        raise(QStringLiteral("Unable to set memory location."));
    m_alarmRange = n;
}

int16_t kest720::AlarmPercent() const
{
    if (!m_initialized)
        raise(QStringLiteral("Not Initialized"));
    return m_alarmPercent;
}

void kest720::setAlarmPercent(int16_t n)
{
    if (n < 0 || n > 99)
        raise(QStringLiteral("Bad Alarm percentage settings"));
    QString text = QString::number(n, 16).toUpper();
    if (!m_link.SetMemoryLocation(QString(m_page) + QStringLiteral("FD2"), text))
        raise(QStringLiteral("Unable to set the memory location."));
    m_alarmPercent = n;
}

int16_t kest720::SampleRate() const
{
    if (!m_initialized)
        raise(QStringLiteral("Not Initialized"));
    return m_sampleRate;
}

void kest720::setSampleRate(int16_t n)
{
    if (n < 1 || n > 255)
        raise(QStringLiteral("Invalid sample rate value."));
    const QString address = QString(m_page) + (m_page == QLatin1Char('D') ? QStringLiteral("FDC")
                                                                          : QStringLiteral("FD3"));
    QString text = QString::number(n, 16).toUpper();
    if (!m_link.SetMemoryLocation(address, text))
        raise(QStringLiteral("Unable to set memory location."));
    m_sampleRate = n;
}

TYPE_UNITS kest720::Units() const
{
    if (!m_initialized)
        raise(QStringLiteral("Not Initialized"));
    return m_units;
}

void kest720::setUnits(TYPE_UNITS u)
{
    if (u == m_units)
        return;
    // The meter only toggles between its two systems; any other value would
    // switch it and record a unit that it does not have.
    if (u != unitR && u != unitSv)
        raise(QStringLiteral("Invalid units value."));
    // The switch is reported done only when the meter's new range report
    // shows it: a meter that was not listening, or a line that went away,
    // would otherwise leave the meter unchanged behind a success.
    if (!m_link.StartCommandMode())
        raise(QStringLiteral("Unable to start command mode."));
    m_link.command("U");
    m_link.command("Y");
    // An unreadable report leaves the outcome unknown: the caller is told, and
    // the old value stays.
    if (UpdateRanges() < 0)
        raise(QStringLiteral("Unable to download the ranges."));
    const QString &reported = m_ranges.Item(1).ScaleUnits;
    const TYPE_UNITS now = reported.contains(QLatin1StringView("Sv")) ? unitSv
                           : reported.contains(QLatin1Char('R'))      ? unitR
                                                                      : unitUnknown;
    // A meter that was not in the units the host held has toggled the other
    // way: what its report shows is what it is in.
    if (now != unitUnknown)
        m_units = now;
    if (m_model == model720K && m_units == unitR && m_ranges.Count() >= 1 &&
        m_ranges.Item(1).ScaleNumber == 0.5f &&
        m_ranges.Item(1).ScaleUnits.contains(QLatin1Char('R')))
        rewriteFirstRangeForK();
    if (now != u)
        raise(QStringLiteral("Unable to change the units."));
}

TYPE_CLEARLOG kest720::ClearLogSetting() const
{
    if (!m_initialized)
        raise(QStringLiteral("Not Initialized"));
    return m_clearLog;
}

void kest720::setClearLogSetting(TYPE_CLEARLOG v)
{
    // Any other value would be typed at the meter as digits it does not expect.
    if (v != clearlogTurnOnOnly && v != clearlogIntegrateReset)
        raise(QStringLiteral("Invalid clear log setting."));
    if (!m_link.StartCommandMode())
        raise(QStringLiteral("Unable to start command mode"));
    m_link.command("S");
    m_link.command(QByteArray::number(static_cast<int>(v)));
    m_clearLog = v;
}

TYPE_MODEBUTTON kest720::ModeButton() const
{
    if (!m_initialized)
        raise(QStringLiteral("Not Initialized"));
    return m_modeButton;
}

void kest720::setModeButton(TYPE_MODEBUTTON v)
{
    if (v != modebuttonDisabled && v != modebuttonIntegrate && v != modebuttonFreeze)
        raise(QStringLiteral("Invalid mode button setting."));
    if (!m_link.StartCommandMode())
        raise(QStringLiteral("Unable to set mode button."));
    m_link.command("H");
    m_link.command(QByteArray::number(static_cast<int>(v)));
    m_modeButton = v;
}

void kest720::WriteToEEPROM()
{
    if (!m_link.StartCommandMode())
        raise(QStringLiteral("Unable to start command mode."));
    m_link.command("E");
    m_link.command("Y");
    m_link.command("\r");
}

void kest720::Disconnect(bool Save)
{
    if (!m_initialized)
        raise(QStringLiteral("Not Initialized"));
    if (!m_link.StartCommandMode())
        raise(QStringLiteral("Unable to start command mode."));
    m_link.send(Save ? "E" : "Q");
    m_link.setMode(LinkMode::linkUnknown);
}

// ---- Internal data log -----------------------------------------------------

void kest720::StartLogDownload()
{
    if (!m_link.StartCommandMode())
        raise(QStringLiteral("Unable to start command mode"));
    TimerDataLog.start();
}

void kest720::ClearLog()
{
    if (!m_link.StartCommandMode())
        raise(QStringLiteral("Unable to start command mode."));
    m_link.send("Y");
}

void kest720::TimerDataLog_Timer()
{
    TimerDataLog.stop();
    Trace(QStringLiteral("In timerDataLog_Timer"));
    if (!m_link.hasPort()) {
        emit DataDownloadError();
        return;
    }
    {
        DepthScope busy(m_downloadLoopDepth);
        DownloadLoop();
    }
    emitIdleWhenDone();
}

void kest720::DownloadLoop()
{
    try {
        m_link.startLogDump();
        QString buf;
        uint32_t t0 = m_link.tickCount();
        Trace(QStringLiteral("    Starting Do Loop"));
        for (;;) {
            Trace(QStringLiteral("    Sleeping for 100 ms"));
            m_link.pause(100);
            const int waiting = m_link.bytesWaiting();
            Trace(QStringLiteral("    InBufferCount = %1").arg(waiting));
            if (waiting < 1 && ticksSince(t0, m_link.tickCount()) > 1500) {
                Trace(QStringLiteral("    Timeout Raising event DataLogError"));
                emit DataDownloadError();
                Trace(QStringLiteral("    Timeout Raising event DataLogError back exiting do"));
                break;
            }
            if (waiting >= 1)
                t0 = m_link.tickCount();
            buf += m_link.readText();
            qsizetype n = buf.indexOf(QLatin1Char('\n')) + 1;
            Trace(QStringLiteral("    comMsg = ") + buf);
            Trace(QStringLiteral("    nChar = %1").arg(n));
            Trace(QStringLiteral("    Starting While nChar"));
            bool complete = false;
            while (n > 0) {
                m_link.pause(20);
                const QString line = buf.left(n);
                buf.remove(0, n);
                if (norvale::control::IsLogEnd(line)) {
                    Trace(QStringLiteral("        Received CAL ****************"));
                    m_link.setMode(LinkMode::linkCommand);
                    buf.clear();
                    Trace(QStringLiteral("        Raising event DataLogComplete"));
                    emit DataDownloadComplete();
                    complete = true;
                    break;
                }
                ParseDataDownload(line);
                m_link.pause(20);
                for (int i = 0; i < 7; ++i)
                    pumpEvents();
                n = buf.indexOf(QLatin1Char('\n')) + 1;
            }
            if (complete)
                break;
        }
        Trace(QStringLiteral("timerDataLog Exiting"));
    } catch (const AutomationError &e) {
        Trace(QStringLiteral("TimerDataLog_Timer() : Error ") + e.description());
        qCWarning(lcKest720).noquote() << "log download failed:" << e.description();
        m_link.setMode(LinkMode::linkUnknown);
        emit DataDownloadError();
    }
}

void kest720::ParseDataDownload(const QString &line)
{
    Trace(QStringLiteral("ParseDataDownload Start"));
    const std::optional<norvale::control::LogRecord> record = norvale::control::ParseDataDownload(line);
    if (!record)
        return;
    if (record->range < 0 || record->range + 1 > m_ranges.Count())
        return;
    const Range &range = m_ranges.Item(record->range + 1);
    Measurement m;
    m.Value = record->value;
    m.Prefix = norvale::control::ParsePrefix(range.ScaleUnits);
    m.Unit = m_units;
    m.UnitString = range.ScaleUnits;
    emit DataDownload(record->DegreesC, m);
    Trace(QStringLiteral("ParseDataDownload Complete"));
}

// ---- Integration -----------------------------------------------------------

void kest720::StartIntegrate()
{
    if (!m_link.StartCommandMode())
        raise(QStringLiteral("Unable to start command mode."));
    bool started = false;
    for (int attempt = 0; attempt < 2 && !started; ++attempt) {
        try {
            started = m_link.command("T").contains(QLatin1Char('T'), Qt::CaseInsensitive);
        } catch (const AutomationError &) {
        }
    }
    if (!started)
        raise(QStringLiteral("Unable to start integrate mode."));
    m_link.setMode(LinkMode::linkIntegrate);
}

double kest720::GetDose()
{
    if (!m_initialized)
        raise(QStringLiteral("Not Initialized"));
    if (!m_link.StartCommandMode())
        raise(QStringLiteral("Unable to start command mode."));
    const std::optional<double> dose = norvale::control::ParseDose(m_link.command("R"));
    if (!dose)
        raise(QStringLiteral("Unable to read integrated dose."));
    return *dose;
}

} // namespace norvale::control
