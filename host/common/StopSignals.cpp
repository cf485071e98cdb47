#include "host/common/StopSignals.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace norvale::host
{

namespace
{
int g_writeEnd = -1;
int g_leaveOnSecond = 0;
volatile std::sig_atomic_t g_arrived = 0;

void onSignal(int signalNumber)
{
    const int saved = errno;
    g_arrived = g_arrived + 1;
    // Every row written so far has already been flushed.
    if (g_leaveOnSecond != 0 && g_arrived >= 2)
        _exit(g_leaveOnSecond);
    const auto byte = static_cast<unsigned char>(signalNumber);
    // A full pipe only loses a repeat of a signal already pending.
    [[maybe_unused]] const ssize_t n = ::write(g_writeEnd, &byte, 1);
    errno = saved;
}

void install(const std::vector<int> &signalNumbers, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a terminal read in progress returns, so a question on
    // the terminal does not hold a Ctrl-C back.
    action.sa_flags = 0;
    for (const int s : signalNumbers)
        sigaction(s, &action, nullptr);
}
} // namespace

StopSignals::StopSignals(std::initializer_list<int> signalNumbers, int leaveOnSecond,
                         QObject *parent)
    : QObject(parent), m_signals(signalNumbers)
{
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    g_writeEnd = m_pipe[1];
    g_leaveOnSecond = leaveOnSecond;
    g_arrived = 0;
    m_notifier = std::make_unique<QSocketNotifier>(m_pipe[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &StopSignals::drain);
    install(m_signals, onSignal);
}

StopSignals::~StopSignals()
{
    if (m_pipe[0] < 0)
        return;
    install(m_signals, SIG_DFL);
    g_writeEnd = -1;
    g_leaveOnSecond = 0;
    m_notifier.reset();
    ::close(m_pipe[0]);
    ::close(m_pipe[1]);
}

int StopSignals::arrived() const
{
    return g_arrived;
}

void StopSignals::drain()
{
    unsigned char byte = 0;
    while (::read(m_pipe[0], &byte, 1) == 1) {
        ++m_count;
        m_last = byte;
        emit received(byte);
    }
}

} // namespace norvale::host
