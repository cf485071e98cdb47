#include "control/MeterLink.h"

#include "control/Protocol.h"
#include "platform/AutomationError.h"
#include "platform/Ticks.h"

namespace norvale::control
{

Q_LOGGING_CATEGORY(lcKest720, "norvale.kest720")
Q_LOGGING_CATEGORY(lcTrace, "norvale.kest720.trace", QtInfoMsg)

using norvale::platform::AutomationError;
using norvale::platform::pumpEvents;
using norvale::platform::ticksSince;

namespace
{
[[noreturn]] void raisePortNotOpen()
{
    throw AutomationError(norvale::platform::serialerror::portNotOpen,
                          norvale::platform::serialerror::source,
                          QStringLiteral("Operation valid only when the port is open"));
}
} // namespace

void Trace(const QString &text)
{
    qCDebug(lcTrace).noquote() << text;
}

MeterLink::MeterLink(LinkFactory factory, norvale::platform::ClockSource *clock)
    : m_factory(std::move(factory)), m_clock(clock ? *clock : norvale::platform::systemClock())
{
    // The port object exists from creation, so that a command before open()
    // fails with the serial layer's own error rather than a text of ours.
    makeLink();
    static const bool traceOn = qEnvironmentVariableIsSet("NORVALE_TRACE");
    if (traceOn)
        const_cast<QLoggingCategory &>(lcTrace()).setEnabled(QtDebugMsg, true);
}

MeterLink::~MeterLink()
{
    if (m_comm)
        m_comm->close();
}

void MeterLink::makeLink()
{
    try {
        m_ownedComm = m_factory ? m_factory() : nullptr;
    } catch (const AutomationError &e) {
        qCWarning(lcKest720).noquote() << "no serial port object:" << e.description();
        m_ownedComm.reset();
    }
    m_comm = m_ownedComm.get();
}

norvale::platform::SerialLink &MeterLink::link()
{
    // Without a port object every exchange fails as a closed port does.
    if (!m_comm)
        raisePortNotOpen();
    return *m_comm;
}

void MeterLink::open(int16_t port, const QString &clientName)
{
    if (!m_comm)
        makeLink();
    if (!m_comm)
        return;
    try {
        if (m_comm->isOpen())
            m_comm->close();
    } catch (...) {
    }
    try {
        m_comm->setClientName(clientName);
        m_comm->setPortNumber(port);
        m_comm->open();
    } catch (const AutomationError &e) {
        qCInfo(lcKest720).noquote() << "OpenPort:" << e.description();
    }
}

void MeterLink::close()
{
    if (!m_comm)
        return;
    try {
        m_comm->close();
    } catch (...) {
    }
}

void MeterLink::send(const QByteArray &bytes)
{
    link().write(bytes);
    m_stats.bytesSent += bytes.size();
}

QByteArray MeterLink::receive()
{
    QByteArray got = link().readAll();
    m_stats.bytesReceived += got.size();
    return got;
}

void MeterLink::clearInput()
{
    link().clearInput();
}

int MeterLink::bytesWaiting()
{
    return link().bytesWaiting();
}

QString MeterLink::readText()
{
    return QString::fromLatin1(receive());
}

QString MeterLink::command(const QByteArray &bytes)
{
    send(bytes);
    return WaitForCom();
}

void MeterLink::pause(int ms)
{
    m_clock.sleep(ms);
    m_stats.pauseMs += ms;
}

// ---- Command mode ------------------------------------------------------------

QString MeterLink::WaitForCom()
{
    QString text;
    m_lastWaitCut = false;
    ++m_stats.waits;
    uint32_t t0 = m_clock.tickCount();
    const uint32_t start = t0;
    for (;;) {
        const QByteArray got = receive();
        const uint32_t now = m_clock.tickCount();
        if (!got.isEmpty()) {
            text += QString::fromLatin1(got);
            t0 = now;
        } else if (ticksSince(t0, now) > 250) {
            break;
        }
        // A meter that never pauses would otherwise keep us here for ever.
        if (ticksSince(start, now) > static_cast<uint32_t>(kWaitForComLimitMs)) {
            m_lastWaitCut = true;
            qCInfo(lcKest720) << "WaitForCom: the meter did not pause; reply cut";
            break;
        }
        pumpEvents();
        m_clock.sleep(50);
    }
    return text;
}

bool MeterLink::StartCommandMode()
{
    if (!m_comm)
        return false;
    Trace(QStringLiteral("In StartCommandMode"));
    switch (m_mode) {
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
    m_heardTalking = false;
    link().clearInput();
    for (int attempt = 0; attempt < 3; ++attempt) {
        Trace(QStringLiteral(" Sending C char"));
        send("C");
        const QString reply = WaitForCom();
        // The meter echoes the "C" first: a prompt at the very first
        // character is not an answer to this attempt.
        if (!reply.isEmpty() && reply.indexOf(QLatin1StringView("CMD?")) >= 1) {
            m_mode = LinkMode::linkCommand;
            return true;
        }
        if (!reply.isEmpty())
            m_heardTalking = true;
        if (m_lastWaitCut)
            break; // talking without a pause: another "C" will not be heard either
        pause(300);
    }
    return false;
}

void MeterLink::LeaveMonitorMode()
{
    if (m_mode != LinkMode::linkUnknown && m_mode != LinkMode::linkMonitor)
        return;
    command("C");
    m_mode = LinkMode::linkCommand;
}

void MeterLink::ExitStreamMode()
{
    if (!m_comm)
        return;
    m_stopStream = true;
    for (int i = 0; i < 4; ++i)
        pumpEvents();
    m_mode = LinkMode::linkCommand;
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

// ---- The stream and the log dump ----------------------------------------------

void MeterLink::startStream()
{
    clearInput();
    send("T");
}

QString MeterLink::readStream()
{
    return proto::FilterLiveChars(readText());
}

void MeterLink::startLogDump()
{
    clearInput();
    send("X");
}

// ---- The memory monitor --------------------------------------------------------

bool MeterLink::EnterMonitorMode()
{
    if (!m_comm)
        return false;
    if (m_mode == LinkMode::linkMonitor)
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
            m_mode = LinkMode::linkMonitor;
            return true;
        }
    }
    return false;
}

void MeterLink::SendSlowly(const QString &text)
{
    // The monitor is typed at, one character at a time.
    for (const QChar c : text) {
        pause(50);
        send(QByteArray(1, static_cast<char>(c.toLatin1())));
    }
}

bool MeterLink::ReadMemoryLocation(const QString &address, QStringList &bytes)
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
    command(".");
    Trace(QStringLiteral("Ending ReadMemoryLocation"));
    return true;
}

bool MeterLink::SetMemoryLocation(const QString &address, QString &value)
{
    if (!EnterMonitorMode())
        return false;
    send("I");
    pause(50);
    SendSlowly(address);
    pause(50);
    command("\r");
    if (value.isEmpty())
        value = QStringLiteral("00");
    else if (value.size() == 1)
        value = QLatin1Char('0') + value;
    else
        value = value.left(2);
    SendSlowly(value);
    command("\r");
    send(".");
    pause(50);
    waitIgnored();
    return true;
}

} // namespace norvale::control
