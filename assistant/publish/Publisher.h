#pragma once
// The publisher inside kest721xl: hands what the Assistant keeps in the journal
// on to an MQTT broker. It runs on a thread of its own, with a journal
// connection of its own and libmosquitto's network thread beside it, so that a
// slow, stalled or absent broker never reaches the user-interface thread or a
// LiveData event. Nothing is lost: a reading counts as handed on only once the
// broker has acknowledged it (PUBACK); until then it stays in the journal and
// goes out later, flagged late, oldest first, paced beside the live ones.
#include "assistant/publish/PublishFeed.h"
#include "assistant/publish/PublishStatus.h"

#include <QObject>
#include <QThread>

namespace norvale::assistant
{

class PublishWorker;

class Publisher : public QObject, public PublishFeed
{
    Q_OBJECT
public:
    // Starts the thread; journalPath is the journal the Assistant writes.
    explicit Publisher(const QString &journalPath, QObject *parent = nullptr);
    // Waits up to a second for acknowledgements in flight, then leaves the
    // broker cleanly (so that the last will is not sent).
    ~Publisher() override;

    void meterConnected(const Meter &meter) override;
    void meterState(const QString &serial, const char *state) override;
    void rowKept(const QString &serial, qint64 run, const Journal::Row &row) override;
    void doseMeasured(const QString &serial, double dose, double averageRate,
                      const QString &unit) override;
    void downloadKept(qint64 run) override;
    // Reads the settings again now (after the Options dialog stored them).
    void reload();

    // The last state written; also delivered by statusChanged on this thread.
    Status status() const;

signals:
    void statusChanged(const norvale::assistant::Status &status);

private:
    friend class PublishWorker;
    void setStatus(const Status &s);

    QThread m_thread;
    PublishWorker *m_worker = nullptr;
    Status m_status;
};

} // namespace norvale::assistant
