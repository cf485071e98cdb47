#include "host/kest720/MeterSession.h"

#include "host/common/ExitStatus.h"
#include "platform/PortProbe.h"
#include "platform/SerialLink.h"
#include "platform/automation/Automation.h"

#include <QElapsedTimer>

#include <memory>
#include <unistd.h>

namespace norvale::host
{

using platform::AutomationError;

namespace
{

// Retries when the server is restarting or the port is still held by a job
// that is ending.
constexpr int retryForMs = 5000;
constexpr int retryPauseMs = 250;

// A server that is ending (its last object gone) refuses new objects for a
// moment while the bus starts its successor: try again.
std::unique_ptr<control::kest720Proxy> createObject()
{
    QElapsedTimer clock;
    clock.start();
    bool told = false;
    for (;;) {
        try {
            return std::make_unique<control::kest720Proxy>();
        } catch (const AutomationError &e) {
            // The bus's own 462 (no such service) will not go away by waiting.
            if (e.number() != norvale::platform::error::serverGone ||
                e.source() == norvale::platform::error::busSource || clock.elapsed() > retryForMs ||
                stopAsked())
                throw;
            if (!std::exchange(told, true))
                note(QStringLiteral("the server is restarting, retrying"));
            usleep(retryPauseMs * 1000);
        }
    }
}

// Opens the port and starts the meter up. When the port cannot be used, finds
// out why: a port held by a job that is still ending is waited for briefly,
// anything else is reported with the operating system's reason.
void connectMeter(control::kest720Proxy &k, int port)
{
    QElapsedTimer clock;
    clock.start();
    bool toldBusy = false;
    for (;;) {
        k.setPort(static_cast<int16_t>(port));
        k.OpenPort();
        try {
            k.Initialize();
            return;
        } catch (const AutomationError &e) {
            if (e.number() != norvale::platform::serialerror::portNotOpen)
                throw;
            const norvale::platform::PortProbe probe = norvale::platform::probePort(port);
            const QString cause = norvale::platform::describePortProblem(probe);
            const bool busy = probe.holder.pid != 0;
            const bool again =
                (busy || cause.isEmpty()) && clock.elapsed() < retryForMs && !stopAsked();
            if (!again)
                throw MeterFailure{cause, e};
            if (busy && !std::exchange(toldBusy, true))
                note(cause + QStringLiteral("; waiting for it"));
            usleep(retryPauseMs * 1000);
        }
    }
}

} // namespace

int runOnMeter(const Kest720Command &command, const Request &request)
{
    std::unique_ptr<control::kest720Proxy> k = createObject();
    QElapsedTimer startup;
    startup.start();
    connectMeter(*k, request.port);
    const Job job{*k, request, startup.elapsed()};
    Ending ending = stopAsked() ? Ending::Interrupted : command.run(job);
    if (stopAsked())
        ending = Ending::Interrupted;
    // Leave the meter measuring again; only a job that saves keeps its change.
    if (ending == Ending::Done) {
        try {
            k->Disconnect(command.saves);
        } catch (const AutomationError &) {
        }
    }
    k->ClosePort();
    k->Release();
    return ending == Ending::Interrupted ? exitstatus::interrupted : exitstatus::done;
}

} // namespace norvale::host
