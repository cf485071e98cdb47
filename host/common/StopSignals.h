#pragma once
// SIGINT and SIGTERM as Qt signals: the handler only writes the signal's
// number into a pipe, and the event loop reads it, so that a Ctrl-C ends a
// run through the normal code (StopLog, files closed) rather than at a random
// instruction.
#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace norvale::host
{

class StopSignals : public QObject
{
    Q_OBJECT
public:
    // One instance per program; it installs the handlers and removes them
    // again when destroyed.
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

    // How many stop signals have arrived, and the last one.
    int count() const { return m_count; }
    int lastSignal() const { return m_last; }

signals:
    void received(int signalNumber);

private:
    void drain();
    int m_pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> m_notifier;
    int m_count = 0;
    int m_last = 0;
};

} // namespace norvale::host
