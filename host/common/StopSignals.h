#pragma once
// Stop signals (Ctrl-C, SIGTERM) as Qt signals: the handler only counts the
// signal and writes its number into a pipe, and the event loop reads it, so
// that a Ctrl-C ends a job through the normal code (the meter stopped, files
// closed) rather than at a random instruction.
#include <QObject>
#include <QSocketNotifier>
#include <csignal>
#include <initializer_list>
#include <memory>
#include <vector>

namespace norvale::host
{

class StopSignals : public QObject
{
    Q_OBJECT
public:
    // One instance per program; it installs the handlers for `signalNumbers`
    // and removes them again when destroyed. With a `leaveOnSecond` status,
    // a second signal ends the program at once with it, from the handler,
    // also while a blocking call holds the event loop.
    explicit StopSignals(std::initializer_list<int> signalNumbers = {SIGINT, SIGTERM},
                         int leaveOnSecond = 0, QObject *parent = nullptr);
    ~StopSignals() override;

    // How many stop signals the event loop has taken in, and the last one.
    int count() const { return m_count; }
    int lastSignal() const { return m_last; }
    // How many have arrived, counted by the handler itself: seen at once,
    // also by code that does not run the event loop.
    int arrived() const;

signals:
    void received(int signalNumber);

private:
    void drain();
    std::vector<int> m_signals;
    int m_pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> m_notifier;
    int m_count = 0;
    int m_last = 0;
};

} // namespace norvale::host
