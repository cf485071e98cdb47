#pragma once
// One kest721Assistant object held by this program: created through the
// server's class factory, driven by calls that wait without a time-out while
// the event loop runs, and released at the end. The modal boxes that those
// calls open are answered here: the Disconnect question as the user chose,
// every other box with OK, and reported as the failure it announces.
#include "host/kest721/Kest721HostTypes.h"
#include "platform/automation/RemoteObject.h"

#include <QDBusPendingReply>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

class AssistantInterface;
class AssistantHouseInterface;
class QDBusServiceWatcher;
class AssistantEventsInterface;
class PromptsInterface;

namespace norvale::host
{

class StopSignals;

// A box other than the Disconnect question: the Assistant's way of saying
// that a call failed.
class BoxError : public std::runtime_error
{
public:
    BoxError(QString title, QString text)
        : std::runtime_error(text.toStdString()), m_title(std::move(title)), m_text(std::move(text))
    {
    }
    const QString &title() const { return m_title; }
    const QString &text() const { return m_text; }

private:
    QString m_title;
    QString m_text;
};

// The user asked twice to stop: the program leaves without waiting further.
class Aborted : public std::runtime_error
{
public:
    Aborted() : std::runtime_error("aborted") {}
};

enum class SaveAnswer {
    Ask, // on the terminal when standard input is one, else No
    Yes,
    No
};

class AssistantSession : public QObject
{
    Q_OBJECT
public:
    // Creates the object (the bus starts the server when needed). A second
    // stop signal on `stops` aborts every wait. Throws AutomationError.
    AssistantSession(SaveAnswer save, const StopSignals &stops, QObject *parent = nullptr);
    // Releases the object if release() has not; errors are ignored here.
    ~AssistantSession() override;

    AssistantEventsInterface &events() { return *m_events; }

    // Calls a member of the Assistant and runs the event loop until it
    // returns. Throws AutomationError for an error reply, BoxError when the
    // call opened a box other than the Disconnect question, Aborted.
    void call(QDBusPendingReply<> (AssistantInterface::*member)());
    // ResumeLog of the Assistant's house interface, called as call() does.
    void resumeLog();
    // SetRunInfo of the house interface: where, why and by whom the next run is made.
    void setRunInfo(const QString &location, const QString &note, const QString &operatorName);
    // Runs the event loop until `done` holds. Throws Aborted, and
    // AutomationError when the server has gone.
    void waitUntil(const std::function<bool()> &done);

    bool Initialized();
    assistant::ControlReference Control();
    // A property of the Assistant's instrument object (interface of kest720).
    QVariant controlProperty(const QString &name);

    // Releases the object now. Throws AutomationError.
    void release();

private:
    void waitForReply(const QDBusPendingCall &pending);
    void onShown(quint32 id, const QString &title, const QString &text, const QStringList &buttons);
    QString disconnectAnswer(const QString &text) const;
    // The object; AutomationError once it has been released.
    const norvale::platform::RemoteObject &remote() const;
    // Aborted after a second stop signal; AutomationError once the server has gone.
    void throwIfStopped() const;

    SaveAnswer m_save;
    const StopSignals &m_stops;
    std::optional<norvale::platform::RemoteObject> m_remote;
    std::unique_ptr<AssistantInterface> m_assistant;
    std::unique_ptr<AssistantHouseInterface> m_house;
    std::unique_ptr<AssistantEventsInterface> m_events;
    std::unique_ptr<PromptsInterface> m_prompts;
    std::unique_ptr<QDBusServiceWatcher> m_serverWatcher;
    bool m_serverGone = false;
    int m_callsWaiting = 0;
    std::optional<BoxError> m_boxError;
};

} // namespace norvale::host
