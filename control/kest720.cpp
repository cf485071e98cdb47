#include "control/kest720.h"

#include "platform/AutomationError.h"
#include "platform/Clock.h"
#include "control/Protocol.h"
#include "platform/Ticks.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcKest720, "norvale.kest720")
// The trace hook: silent unless NORVALE_TRACE is set (or the category is
// enabled through QT_LOGGING_RULES).
Q_LOGGING_CATEGORY(lcTrace, "norvale.kest720.trace", QtInfoMsg)

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

[[noreturn]] void raisePortNotOpen()
{
    throw AutomationError(norvale::platform::serialerror::portNotOpen,
                          norvale::platform::serialerror::source,
                          QStringLiteral("Operation valid only when the port is open"));
}
} // namespace

kest720::kest720(QObject *parent) : kest720(&norvale::platform::makeQtSerialLink, nullptr, parent)
{
}

kest720::kest720(LinkFactory factory, norvale::platform::ClockSource *clock, QObject *parent)
    : QObject(parent), mFactory(std::move(factory)),
      mClock(clock ? *clock : norvale::platform::systemClock())
{
    // The port object exists from creation, so that a command before OpenPort
    // fails with the serial layer's own error rather than a text of ours.
    makeLink();
    static const bool traceOn = qEnvironmentVariableIsSet("NORVALE_TRACE");
    if (traceOn)
        const_cast<QLoggingCategory &>(lcTrace()).setEnabled(QtDebugMsg, true);
    qRegisterMetaType<Measurement>();
    TimerLiveData.setInterval(40);
    TimerDataLog.setInterval(40);
    connect(&TimerLiveData, &QTimer::timeout, this, &kest720::TimerLiveData_Timer);
    connect(&TimerDataLog, &QTimer::timeout, this, &kest720::TimerDataLog_Timer);
}

kest720::~kest720()
{
    TimerLiveData.stop();
    TimerDataLog.stop();
    if (mComm)
        mComm->close();
}

void kest720::raise(const QString &description) const
{
    throw AutomationError(kErrorNumber, kest720errors::source, description);
}

void kest720::Trace(const QString &text) const
{
    qCDebug(lcTrace).noquote() << text;
}

void kest720::makeLink()
{
    try {
        mOwnedComm = mFactory ? mFactory() : nullptr;
    } catch (const AutomationError &e) {
        qCWarning(lcKest720).noquote() << "no serial port object:" << e.description();
        mOwnedComm.reset();
    }
    mComm = mOwnedComm.get();
}

norvale::platform::SerialLink &kest720::link()
{
    // Without a port object every exchange fails as a closed port does.
    if (!mComm)
        raisePortNotOpen();
    return *mComm;
}

void kest720::send(const QByteArray &bytes)
{
    link().write(bytes);
    mStats.bytesSent += bytes.size();
}

QByteArray kest720::receive()
{
    QByteArray got = link().readAll();
    mStats.bytesReceived += got.size();
    return got;
}

void kest720::emitIdleWhenDone()
{
    // An inner loop that returns into an outer one leaves the object busy:
    // whoever waits for idle (a StopLog reply, a shutdown) must wait on.
    if (!isBusy())
        emit idle();
}

void kest720::pause(int ms)
{
    mClock.sleep(ms);
    mStats.pauseMs += ms;
}

// ---- Serial link and command mode ----------------------------------------

::Ranges &kest720::Ranges()
{
    return mRanges;
}
void kest720::setRanges(const ::Ranges &ranges)
{
    mRanges = ranges;
}

void kest720::OpenPort()
{
    // Never reports an error: a client finds a closed port when Initialize fails.
    if (!mComm)
        makeLink();
    if (!mComm)
        return;
    try {
        if (mComm->isOpen())
            mComm->close();
    } catch (...) {
    }
    try {
        mComm->setClientName(mClientName);
        mComm->setPortNumber(mPort);
        mComm->open();
    } catch (const AutomationError &e) {
        qCInfo(lcKest720).noquote() << "OpenPort:" << e.description();
    }
}

void kest720::ClosePort()
{
    if (!mComm)
        return;
    try {
        mComm->close();
    } catch (...) {
    }
    mRanges.Clear();
    mInitialized = false;
}

QString kest720::WaitForCom()
{
    QString text;
    mLastWaitCut = false;
    ++mStats.waits;
    uint32_t t0 = mClock.tickCount();
    const uint32_t start = t0;
    for (;;) {
        const QByteArray got = receive();
        const uint32_t now = mClock.tickCount();
        if (!got.isEmpty()) {
            text += QString::fromLatin1(got);
            t0 = now;
        } else if (ticksSince(t0, now) > 250) {
            break;
        }
        // A meter that never pauses would otherwise keep us here for ever.
        if (ticksSince(start, now) > static_cast<uint32_t>(kWaitForComLimitMs)) {
            mLastWaitCut = true;
            qCInfo(lcKest720) << "WaitForCom: the meter did not pause; reply cut";
            break;
        }
        pumpEvents();
        mClock.sleep(50);
    }
    return text;
}

bool kest720::StartCommandMode()
{
    if (!mComm)
        return false;
    Trace(QStringLiteral("In StartCommandMode"));
    switch (mLinkMode) {
    case LinkMode::linkCommand:
        return true;
    case LinkMode::linkMonitor:
        LeaveMonitorMode();
        break;
    case LinkMode::linkIntegrate:
        ExitStreamMode();
        break;
    case LinkMode::linkUnknown:
        break;
    }
    mHeardTalking = false;
    link().clearInput();
    for (int attempt = 0; attempt < 3; ++attempt) {
        Trace(QStringLiteral(" Sending C char"));
        send("C");
        const QString reply = WaitForCom();
        // The meter echoes the "C" first: a prompt at the very first
        // character is not an answer to this attempt.
        if (!reply.isEmpty() && reply.indexOf(QLatin1StringView("CMD?")) >= 1) {
            mLinkMode = LinkMode::linkCommand;
            return true;
        }
        if (!reply.isEmpty())
            mHeardTalking = true;
        if (mLastWaitCut)
            break; // talking without a pause: another "C" will not be heard either
        pause(300);
    }
    return false;
}

void kest720::LeaveMonitorMode()
{
    if (mLinkMode != LinkMode::linkUnknown && mLinkMode != LinkMode::linkMonitor)
        return;
    send("C");
    waitIgnored();
    mLinkMode = LinkMode::linkCommand;
}

void kest720::ExitStreamMode()
{
    if (!mComm)
        return;
    mStopStream = true;
    for (int i = 0; i < 4; ++i)
        pumpEvents();
    mLinkMode = LinkMode::linkCommand;
    for (int pass = 0; pass < 7; ++pass) {
        for (int i = 0; i < 30; ++i) {
            send(" ");
            pause(10);
        }
        link().clearInput();
        if (WaitForCom().contains(QLatin1StringView("CMD")))
            break;
    }
}

bool kest720::EnterMonitorMode()
{
    if (!mComm)
        return false;
    if (mLinkMode == LinkMode::linkMonitor)
        return true;
    link().clearInput();
    QString reply;
    for (int attempt = 0; attempt < 2 && reply.isEmpty(); ++attempt) {
        send("\x0C");
        reply = WaitForCom();
    }
    if (!reply.isEmpty() && reply.contains(QLatin1StringView("CMD"))) {
        send("*");
        if (WaitForCom().contains(QLatin1Char('*'))) {
            mLinkMode = LinkMode::linkMonitor;
            return true;
        }
    }
    return false;
}

void kest720::SendSlowly(const QString &text)
{
    // The monitor is typed at, one character at a time.
    for (const QChar c : text) {
        pause(50);
        send(QByteArray(1, static_cast<char>(c.toLatin1())));
    }
}

bool kest720::ReadMemoryLocation(const QString &address, QStringList &bytes)
{
    Trace(QStringLiteral("Starting ReadMemoryLocation "));
    if (!EnterMonitorMode()) {
        Trace(QStringLiteral("Ending ReadMemoryLocation"));
        return false;
    }
    send("D");
    pause(50);
    SendSlowly(address);
    pause(50);
    send("\r");
    const QString reply = WaitForCom();
    proto::ParseMemoryDump(address, reply, bytes);
    send(".");
    waitIgnored();
    Trace(QStringLiteral("Ending ReadMemoryLocation"));
    return true;
}

bool kest720::SetMemoryLocation(const QString &address, QString &value)
{
    if (!EnterMonitorMode())
        return false;
    send("I");
    pause(50);
    SendSlowly(address);
    pause(50);
    send("\r");
    waitIgnored();
    if (value.isEmpty())
        value = QStringLiteral("00");
    else if (value.size() == 1)
        value = QLatin1Char('0') + value;
    else
        value = value.left(2);
    SendSlowly(value);
    send("\r");
    waitIgnored();
    send(".");
    pause(50);
    waitIgnored();
    return true;
}

// ---- Start-up, ranges and settings ----------------------------------------

void kest720::rewriteFirstRangeForK()
{
    // A 720K reports readings and log records of its lowest roentgen range in
    // uR/h, although its range report prints that range as 0.5 mR/h.
    Range &first = mRanges.Item(1);
    first.ScaleNumber = 500;
    first.ScaleUnits = QStringLiteral("uR/h");
    first.Display = QStringLiteral("500 uR/h");
}

void kest720::Initialize()
{
    Trace(QStringLiteral("Starting Initialize"));
    mInitialized = false;
    mLinkMode = LinkMode::linkUnknown;
    if (!mComm)
        raise(QStringLiteral("Communications port is not open."));
    Trace(QStringLiteral("Going to StartCommandMode"));
    if (!StartCommandMode()) {
        // A meter left streaming (by a session that ended without stopping
        // it) talks but never answers "C": end the stream, then ask again.
        if (!mHeardTalking)
            raise(QStringLiteral("Unable to start command mode."));
        qCInfo(lcKest720) << "the meter talks without a prompt; ending its stream";
        ExitStreamMode();
        mLinkMode = LinkMode::linkUnknown;
        if (!StartCommandMode())
            raise(QStringLiteral("Unable to start command mode."));
    }
    Trace(QStringLiteral("Updating ranges"));
    if (UpdateRanges() < 0)
        raise(QStringLiteral("Unable to download the ranges."));
    if (mRanges.Count() >= 1) {
        const Range &first = mRanges.Item(1);
        if (first.ScaleUnits.contains(QLatin1Char('R'))) {
            mUnits = unitR;
            if (first.ScaleNumber == 0.5f) {
                mModel = model720K;
                mPage = QLatin1Char('D');
                rewriteFirstRangeForK();
            } else {
                mModel = model720M;
                mPage = QLatin1Char('9');
            }
        } else if (first.ScaleUnits.contains(QLatin1StringView("Sv"))) {
            mUnits = unitSv;
            const bool k = first.ScaleNumber == 5.0f;
            mModel = k ? model720K : model720M;
            mPage = k ? QLatin1Char('D') : QLatin1Char('9');
        }
    }
    Trace(QStringLiteral("Reading 720Settings"));
    Read720Settings();
    mInitialized = true;
    StartCommandMode();
    Trace(QStringLiteral("Ending Initialize  - Success"));
}

int16_t kest720::UpdateRanges()
{
    Trace(QStringLiteral("Starting UpdateRanges"));
    if (!StartCommandMode()) {
        Trace(QStringLiteral("Ending UpdateRanges - Unable to start command mode"));
        return -1;
    }
    link().clearInput();
    send("R");
    const QString reply = WaitForCom();
    const std::optional<QList<Range>> table = proto::ParseRangeReport(reply);
    if (!table) {
        Trace(QStringLiteral("Ending UpdateRanges - bad response:  "));
        Trace(QStringLiteral("\r\n") + reply + QStringLiteral("\r\n"));
        return -2;
    }
    mRanges.Clear();
    for (const Range &r : *table)
        mRanges.Add(r.ScaleUnits, r.ScaleNumber, r.CommandIndex, r.Display);
    mRanges.Add(QStringLiteral("No Blink"), 0, 6, QStringLiteral("No Blink"));
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
        const QString address = QString(mPage) + QStringLiteral("FD0");
        ReadMemoryLocation(address, bytes);
        if (bytes.size() - 1 == 0)
            raise(QStringLiteral("Unable to get the alarm settings"));
        // A missing entry (a dump line cut short) converts like bad text.
        auto b = [&bytes](int k) {
            return proto::HexToInt(k < bytes.size() ? bytes[k] : QString());
        };
        if (b(13) == 0xDD) {
            if (mPage == QLatin1Char('D'))
                break;
            mPage = QLatin1Char('D');
            waitIgnored();
            continue;
        }
        const int16_t alarmRange = static_cast<int16_t>(((b(15) & 0xF0) >> 4) + 1);
        const int16_t alarmPercent = b(2);
        const int16_t sampleRate = mPage == QLatin1Char('D') ? b(12) : b(3);
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
        mAlarmRange = alarmRange;
        mAlarmPercent = alarmPercent;
        mSampleRate = sampleRate;
        mModeButton = static_cast<TYPE_MODEBUTTON>(flags & 3);
        mClearLog = (flags & 0x10) ? clearlogIntegrateReset : clearlogTurnOnOnly;
        mSerialNumber = serial;
        Trace(QStringLiteral("Ending Read720Settings- Success"));
        return 0;
    }
    raise(QStringLiteral("Unable to get the alarm settings"));
}

TYPE_MODEL kest720::Model() const
{
    if (!mInitialized)
        raise(QStringLiteral("Not Initialized"));
    return mModel;
}

QString kest720::SerialNumber() const
{
    if (!mInitialized)
        raise(QStringLiteral("Not Initialized"));
    return mSerialNumber;
}

// ---- Live data stream ------------------------------------------------------

void kest720::StartLog()
{
    if (!StartCommandMode())
        raise(QStringLiteral("Unable to start command mode."));
    // Cleared here rather than at the tick, so that a StopLog that comes
    // before the first tick is not lost.
    mStopStream = false;
    TimerLiveData.start();
}

void kest720::StopLog()
{
    mStopStream = true;
    if (!StartCommandMode())
        raise(QStringLiteral("Unable to start command mode."));
    mCurrentScale.clear();
}

void kest720::TimerLiveData_Timer()
{
    TimerLiveData.stop();
    if (mStopStream || !mComm)
        return; // stopped before the stream began: the meter was never asked to stream
    {
        DepthScope busy(mLiveLoopDepth);
        LiveLoop();
    }
    emitIdleWhenDone();
}

void kest720::LiveLoop()
{
    try {
        link().clearInput();
        send("T");
        QString buf;
        uint32_t t0 = mClock.tickCount();
        for (;;) {
            if (link().bytesWaiting() > 0) {
                t0 = mClock.tickCount();
            } else if (ticksSince(t0, mClock.tickCount()) > 10000) {
                emit LiveDataError();
                break;
            }
            if (mStopStream)
                break;
            pumpEvents();
            pumpEvents();
            buf += proto::FilterLiveChars(QString::fromLatin1(receive()));
            pumpEvents();
            pause(100);
            pumpEvents();
            // Every complete token is taken in the same pass, so that readings
            // never fall behind a meter that talks faster than ten tokens a second.
            while (!mStopStream && proto::TokenizePass(
                                       buf, mCurrentScale,
                                       [this](double value) {
                                           Measurement m;
                                           m.Value = value;
                                           m.Prefix = proto::ParsePrefix(mCurrentScale);
                                           m.Unit = mUnits;
                                           m.UnitString = mCurrentScale;
                                           emit LiveData(m);
                                       },
                                       [] { pumpEvents(); })) {
            }
        }
        pumpEvents();
        ExitStreamMode();
    } catch (const AutomationError &e) {
        // The line went away under the stream: tell the client, and forget
        // what the meter's state was.
        qCWarning(lcKest720).noquote() << "live data stream failed:" << e.description();
        mLinkMode = LinkMode::linkUnknown;
        emit LiveDataError();
    }
}

// ---- Instrument settings ---------------------------------------------------

int16_t kest720::AlarmRange() const
{
    if (!mInitialized)
        raise(QStringLiteral("Not Initialized"));
    return mAlarmRange;
}

void kest720::setAlarmRange(int16_t n)
{
    if (n < 1 || n > 6)
        raise(QStringLiteral("Bad Alarm scale settings"));
    // The monitor takes the digits as hexadecimal: 10 is the byte 0x10, that
    // is the range number minus 1 in the high four bits.
    QString text = QString::number((n - 1) * 10);
    if (!SetMemoryLocation(QString(mPage) + QStringLiteral("FDF"), text))
        raise(QStringLiteral("Unable to set memory location."));
    mAlarmRange = n;
}

int16_t kest720::AlarmPercent() const
{
    if (!mInitialized)
        raise(QStringLiteral("Not Initialized"));
    return mAlarmPercent;
}

void kest720::setAlarmPercent(int16_t n)
{
    if (n < 0 || n > 99)
        raise(QStringLiteral("Bad Alarm percentage settings"));
    QString text = QString::number(n, 16).toUpper();
    if (!SetMemoryLocation(QString(mPage) + QStringLiteral("FD2"), text))
        raise(QStringLiteral("Unable to set the memory location."));
    mAlarmPercent = n;
}

int16_t kest720::SampleRate() const
{
    if (!mInitialized)
        raise(QStringLiteral("Not Initialized"));
    return mSampleRate;
}

void kest720::setSampleRate(int16_t n)
{
    if (n < 1 || n > 255)
        raise(QStringLiteral("Invalid sample rate value."));
    const QString address = QString(mPage) + (mPage == QLatin1Char('D') ? QStringLiteral("FDC")
                                                                        : QStringLiteral("FD3"));
    QString text = QString::number(n, 16).toUpper();
    if (!SetMemoryLocation(address, text))
        raise(QStringLiteral("Unable to set memory location."));
    mSampleRate = n;
}

TYPE_UNITS kest720::Units() const
{
    if (!mInitialized)
        raise(QStringLiteral("Not Initialized"));
    return mUnits;
}

void kest720::setUnits(TYPE_UNITS u)
{
    if (u == mUnits)
        return;
    // The meter only toggles between its two systems; any other value would
    // switch it and record a unit that it does not have.
    if (u != unitR && u != unitSv)
        raise(QStringLiteral("Invalid units value."));
    // The switch is reported done only when the meter's new range report
    // shows it: a meter that was not listening, or a line that went away,
    // would otherwise leave the meter unchanged behind a success.
    if (!StartCommandMode())
        raise(QStringLiteral("Unable to start command mode."));
    send("U");
    waitIgnored();
    send("Y");
    waitIgnored();
    // An unreadable report leaves the outcome unknown: the caller is told, and
    // the old value stays.
    if (UpdateRanges() < 0)
        raise(QStringLiteral("Unable to download the ranges."));
    const QString &reported = mRanges.Item(1).ScaleUnits;
    const TYPE_UNITS now = reported.contains(QLatin1StringView("Sv")) ? unitSv
                           : reported.contains(QLatin1Char('R'))      ? unitR
                                                                      : unitUnknown;
    // A meter that was not in the units the host held has toggled the other
    // way: what its report shows is what it is in.
    if (now != unitUnknown)
        mUnits = now;
    if (mModel == model720K && mUnits == unitR && mRanges.Count() >= 1 &&
        mRanges.Item(1).ScaleNumber == 0.5f &&
        mRanges.Item(1).ScaleUnits.contains(QLatin1Char('R')))
        rewriteFirstRangeForK();
    if (now != u)
        raise(QStringLiteral("Unable to change the units."));
}

TYPE_CLEARLOG kest720::ClearLogSetting() const
{
    if (!mInitialized)
        raise(QStringLiteral("Not Initialized"));
    return mClearLog;
}

void kest720::setClearLogSetting(TYPE_CLEARLOG v)
{
    // Any other value would be typed at the meter as digits it does not expect.
    if (v != clearlogTurnOnOnly && v != clearlogIntegrateReset)
        raise(QStringLiteral("Invalid clear log setting."));
    if (!StartCommandMode())
        raise(QStringLiteral("Unable to start command mode"));
    send("S");
    waitIgnored();
    send(QByteArray::number(static_cast<int>(v)));
    waitIgnored();
    mClearLog = v;
}

TYPE_MODEBUTTON kest720::ModeButton() const
{
    if (!mInitialized)
        raise(QStringLiteral("Not Initialized"));
    return mModeButton;
}

void kest720::setModeButton(TYPE_MODEBUTTON v)
{
    if (v != modebuttonDisabled && v != modebuttonIntegrate && v != modebuttonFreeze)
        raise(QStringLiteral("Invalid mode button setting."));
    if (!StartCommandMode())
        raise(QStringLiteral("Unable to set mode button."));
    send("H");
    waitIgnored();
    send(QByteArray::number(static_cast<int>(v)));
    waitIgnored();
    mModeButton = v;
}

void kest720::WriteToEEPROM()
{
    if (!StartCommandMode())
        raise(QStringLiteral("Unable to start command mode."));
    send("E");
    waitIgnored();
    send("Y");
    waitIgnored();
    send("\r");
    waitIgnored();
}

void kest720::Disconnect(bool Save)
{
    if (!mInitialized)
        raise(QStringLiteral("Not Initialized"));
    if (!StartCommandMode())
        raise(QStringLiteral("Unable to start command mode."));
    send(Save ? "E" : "Q");
    mLinkMode = LinkMode::linkUnknown;
}

// ---- Internal data log -----------------------------------------------------

void kest720::StartLogDownload()
{
    if (!StartCommandMode())
        raise(QStringLiteral("Unable to start command mode"));
    TimerDataLog.start();
}

void kest720::ClearLog()
{
    if (!StartCommandMode())
        raise(QStringLiteral("Unable to start command mode."));
    send("Y");
}

void kest720::TimerDataLog_Timer()
{
    TimerDataLog.stop();
    Trace(QStringLiteral("In timerDataLog_Timer"));
    if (!mComm) {
        emit DataDownloadError();
        return;
    }
    {
        DepthScope busy(mDownloadLoopDepth);
        DownloadLoop();
    }
    emitIdleWhenDone();
}

void kest720::DownloadLoop()
{
    try {
        link().clearInput();
        send("X");
        QString buf;
        uint32_t t0 = mClock.tickCount();
        Trace(QStringLiteral("    Starting Do Loop"));
        for (;;) {
            Trace(QStringLiteral("    Sleeping for 100 ms"));
            pause(100);
            const int waiting = link().bytesWaiting();
            Trace(QStringLiteral("    InBufferCount = %1").arg(waiting));
            if (waiting < 1 && ticksSince(t0, mClock.tickCount()) > 1500) {
                Trace(QStringLiteral("    Timeout Raising event DataLogError"));
                emit DataDownloadError();
                Trace(QStringLiteral("    Timeout Raising event DataLogError back exiting do"));
                break;
            }
            if (waiting >= 1)
                t0 = mClock.tickCount();
            buf += QString::fromLatin1(receive());
            qsizetype n = buf.indexOf(QLatin1Char('\n')) + 1;
            Trace(QStringLiteral("    comMsg = ") + buf);
            Trace(QStringLiteral("    nChar = %1").arg(n));
            Trace(QStringLiteral("    Starting While nChar"));
            bool complete = false;
            while (n > 0) {
                pause(20);
                const QString line = buf.left(n);
                buf.remove(0, n);
                if (proto::IsLogEnd(line)) {
                    Trace(QStringLiteral("        Received CAL ****************"));
                    mLinkMode = LinkMode::linkCommand;
                    buf.clear();
                    Trace(QStringLiteral("        Raising event DataLogComplete"));
                    emit DataDownloadComplete();
                    complete = true;
                    break;
                }
                ParseDataDownload(line);
                pause(20);
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
        mLinkMode = LinkMode::linkUnknown;
        emit DataDownloadError();
    }
}

void kest720::ParseDataDownload(const QString &line)
{
    Trace(QStringLiteral("ParseDataDownload Start"));
    const std::optional<proto::LogRecord> record = proto::ParseDataDownload(line);
    if (!record)
        return;
    if (record->range < 0 || record->range + 1 > mRanges.Count())
        return;
    const Range &range = mRanges.Item(record->range + 1);
    Measurement m;
    m.Value = record->value;
    m.Prefix = proto::ParsePrefix(range.ScaleUnits);
    m.Unit = mUnits;
    m.UnitString = range.ScaleUnits;
    emit DataDownload(record->DegreesC, m);
    Trace(QStringLiteral("ParseDataDownload Complete"));
}

// ---- Integration -----------------------------------------------------------

void kest720::StartIntegrate()
{
    if (!StartCommandMode())
        raise(QStringLiteral("Unable to start command mode."));
    bool started = false;
    for (int attempt = 0; attempt < 2 && !started; ++attempt) {
        try {
            send("T");
            started = WaitForCom().contains(QLatin1Char('T'), Qt::CaseInsensitive);
        } catch (const AutomationError &) {
        }
    }
    if (!started)
        raise(QStringLiteral("Unable to start integrate mode."));
    mLinkMode = LinkMode::linkIntegrate;
}

double kest720::GetDose()
{
    if (!mInitialized)
        raise(QStringLiteral("Not Initialized"));
    if (!StartCommandMode())
        raise(QStringLiteral("Unable to start command mode."));
    send("R");
    const std::optional<double> dose = proto::ParseDose(WaitForCom());
    if (!dose)
        raise(QStringLiteral("Unable to read integrated dose."));
    return *dose;
}
