#pragma once
// The line to one 721 meter: the serial link, the clock that paces it, and the
// procedures of the serial dialogue (command mode, leaving the stream, the
// memory monitor), with what the pacing cost.
//
// Waits pump the event loop, so a client's call can run nested inside an
// exchange; the stop flag is the only coordination between a stream on the
// stack and whoever ends it.
#include "control/Types.h"
#include "platform/Clock.h"
#include "platform/SerialLink.h"

#include <QLoggingCategory>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

namespace norvale::control
{

Q_DECLARE_LOGGING_CATEGORY(lcKest720)
// The trace hook: silent unless NORVALE_TRACE is set (or the category is
// enabled through QT_LOGGING_RULES).
Q_DECLARE_LOGGING_CATEGORY(lcTrace)

class MeterLink
{
public:
    using LinkFactory = std::function<std::unique_ptr<norvale::platform::SerialLink>()>;

    // The serial link is made by `factory` at once; every pause, quiet time
    // and time-out reads `clock` (the system's when null).
    explicit MeterLink(LinkFactory factory, norvale::platform::ClockSource *clock = nullptr);
    ~MeterLink();
    MeterLink(const MeterLink &) = delete;
    MeterLink &operator=(const MeterLink &) = delete;

    // What the protocol's pacing cost since the last reset: the mandatory
    // pauses, the number of replies awaited (each ends with 250 ms of quiet)
    // and the bytes that crossed. The benchmarks compare it with the time taken.
    struct PacingStats {
        qint64 pauseMs = 0;
        int waits = 0;
        qint64 bytesSent = 0;
        qint64 bytesReceived = 0;
    };
    const PacingStats &pacingStats() const { return m_stats; }
    void resetPacingStats() { m_stats = {}; }

    // Longest time one WaitForCom collects from a meter that never pauses.
    static constexpr int kWaitForComLimitMs = 6000;

    // ---- the port ----------------------------------------------------------
    // False only when the factory could not make a port object.
    bool hasPort() const { return m_comm != nullptr; }
    // Opens `port` afresh (closing it first); never reports an error: the
    // first exchange finds a closed port instead.
    void open(int16_t port, const QString &clientName);
    void close();

    // ---- what the line is doing ---------------------------------------------
    LinkMode mode() const { return m_mode; }
    void setMode(LinkMode mode) { m_mode = mode; }
    bool stopRequested() const { return m_stopStream; }
    void requestStop() { m_stopStream = true; }
    void clearStop() { m_stopStream = false; }
    // The last StartCommandMode heard a reply without the prompt.
    bool heardTalking() const { return m_heardTalking; }

    // ---- procedures of the serial dialogue ------------------------------------
    // What the meter sends until it pauses for 250 ms, or until
    // kWaitForComLimitMs when it never does.
    QString WaitForCom();
    void waitIgnored() { WaitForCom(); }
    // Brings the meter to its command prompt from whatever mode the line is
    // in; false when three "C" get no prompt (heardTalking() tells whether
    // the meter said anything else).
    bool StartCommandMode();
    // The memory monitor ("*" prompt), reached from the command prompt.
    bool EnterMonitorMode();
    void LeaveMonitorMode();
    // Ends a stream or an integration with blanks until the prompt comes
    // back, and raises the stop flag for a stream loop on the stack.
    void ExitStreamMode();
    // Types `text` at the monitor, one character every 50 ms.
    void SendSlowly(const QString &text);
    // The dump line from `address` on, one hexadecimal text per byte, into
    // `bytes` as proto::ParseMemoryDump fills it; false when the monitor was
    // not reached.
    bool ReadMemoryLocation(const QString &address, QStringList &bytes);
    // Writes one byte, `value` in hexadecimal, made two digits on the way.
    bool SetMemoryLocation(const QString &address, QString &value);
    // Sends `bytes` and returns what the meter says until it pauses.
    QString command(const QByteArray &bytes);

    // Asks the meter for its stream of readings ("T"), after dropping what
    // came before; readStream() then gives what arrived, only the characters
    // that the stream's tokens are made of.
    void startStream();
    QString readStream();
    // Asks the meter for its data log ("X"), after dropping what came before;
    // readText() then gives what arrived.
    void startLogDump();
    QString readText();

    // ---- single steps ------------------------------------------------------------
    // Every step throws the serial layer's closed-port error when there is no
    // port object.
    void send(const QByteArray &bytes);
    void clearInput();
    int bytesWaiting();
    void pause(int ms);
    uint32_t tickCount() { return m_clock.tickCount(); }

private:
    QByteArray receive();
    void makeLink();
    norvale::platform::SerialLink &link();

    LinkFactory m_factory;
    norvale::platform::ClockSource &m_clock;
    std::unique_ptr<norvale::platform::SerialLink> m_ownedComm;
    norvale::platform::SerialLink *m_comm = nullptr; // empty only when the factory failed

    LinkMode m_mode = LinkMode::linkUnknown;
    bool m_stopStream = false;
    PacingStats m_stats;
    bool m_lastWaitCut = false;  // the last WaitForCom stopped at its limit
    bool m_heardTalking = false; // StartCommandMode heard a reply without the prompt
};

void Trace(const QString &text);

} // namespace norvale::control
