#pragma once
// What the Assistant tells the publisher, from its user-interface thread. An
// implementation only hands each call on to where the network is served: none
// of these may block or fail.
#include "assistant/Journal.h"

#include <QDate>
#include <QString>
#include <optional>

namespace norvale::assistant
{

class PublishFeed
{
public:
    struct Meter {
        QString serial;
        QString model; // "720K"
        QString units; // "mR/h" or "uSv/h"
        std::optional<double> alarmPoint;
        bool alarmEnabled = false;
        QString software;
        QDate calibrationDue; // invalid when none is recorded
    };

    virtual ~PublishFeed() = default;
    // A meter answered Connect.
    virtual void meterConnected(const Meter &meter) = 0;
    // "connected", "logging", "connection-lost", "disconnected".
    virtual void meterState(const QString &serial, const char *state) = 0;
    // A reading of a logging run is in the journal.
    virtual void rowKept(const QString &serial, qint64 run, const Journal::Row &row) = 0;
    virtual void doseMeasured(const QString &serial, double dose, double averageRate,
                              const QString &unit) = 0;
    // A download's rows are all in the journal (run `run`).
    virtual void downloadKept(qint64 run) = 0;
};

} // namespace norvale::assistant
