#include "host/kest721/AssistantSession.h"

#include "assistant_events_interface.h"
#include "assistant_house_interface.h"
#include "assistant_interface.h"
#include "host/common/StopSignals.h"
#include "prompts_interface.h"

#include <QCoreApplication>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QLoggingCategory>
#include <QTextStream>
#include <climits>
#include <iostream>
#include <string>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcSession, "norvale.kest721.session")

namespace norvale::host
{

using norvale::platform::AutomationError;
using norvale::platform::fromDBusError;

namespace
{
const QString buttonOK = QStringLiteral("OK");
const QString buttonYes = QStringLiteral("Yes");
const QString buttonNo = QStringLiteral("No");
const QString buttonCancel = QStringLiteral("Cancel");

// Calls that open a box wait for a person or for us: no time-out at all
// (libdbus takes INT_MAX as "never").
constexpr int noTimeout = INT_MAX;

bool isDisconnectQuestion(const QString &title, const QStringList &buttons)
{
    return title == u"Disconnect" && buttons.contains(buttonYes) && buttons.contains(buttonNo) &&
           buttons.contains(buttonCancel);
}
} // namespace

AssistantSession::AssistantSession(SaveAnswer save, const StopSignals &stops, QObject *parent)
    : QObject(parent), m_save(save), m_stops(stops)
{
    norvale::assistant::registerTypes();
    QDBusConnection bus = QDBusConnection::sessionBus();
    m_remote = norvale::platform::RemoteObject::create(bus, norvale::assistant::assistantService);
    // Every proxy talks to the process that made the object (its unique
    // name), so a server that ends is seen as gone, not started anew.
    const QString server = m_remote->service();
    const QString path = m_remote->path();
    m_assistant = std::make_unique<AssistantInterface>(server, path, bus);
    m_assistant->setTimeout(noTimeout);
    m_house = std::make_unique<AssistantHouseInterface>(server, path, bus);
    m_house->setTimeout(noTimeout);
    m_events = std::make_unique<AssistantEventsInterface>(server, path, bus);
    m_prompts = std::make_unique<PromptsInterface>(server, norvale::assistant::promptsPath, bus);
    connect(m_prompts.get(), &PromptsInterface::Shown, this, &AssistantSession::onShown);
    m_serverWatcher = std::make_unique<QDBusServiceWatcher>(
        server, bus, QDBusServiceWatcher::WatchForUnregistration);
    connect(m_serverWatcher.get(), &QDBusServiceWatcher::serviceUnregistered, this,
            [this] { m_serverGone = true; });
}

AssistantSession::~AssistantSession()
{
    try {
        release();
    } catch (const AutomationError &e) {
        qCInfo(lcSession).noquote() << "Release failed (ignored):" << e.description();
    }
}

void AssistantSession::call(QDBusPendingReply<> (AssistantInterface::*member)())
{
    throwIfStopped();
    remote();
    waitForReply((m_assistant.get()->*member)());
}

void AssistantSession::resumeLog()
{
    throwIfStopped();
    remote();
    waitForReply(m_house->ResumeLog());
}

void AssistantSession::setRunInfo(const QString &location, const QString &note,
                                  const QString &operatorName)
{
    throwIfStopped();
    remote();
    waitForReply(m_house->SetRunInfo(location, note, operatorName));
}

void AssistantSession::waitForReply(const QDBusPendingCall &pending)
{
    m_boxError.reset();
    QDBusPendingCallWatcher watcher(pending);
    bool finished = watcher.isFinished();
    connect(&watcher, &QDBusPendingCallWatcher::finished, this, [&finished] { finished = true; });
    ++m_callsWaiting;
    try {
        waitUntil([&finished] { return finished; });
    } catch (...) {
        --m_callsWaiting;
        throw;
    }
    --m_callsWaiting;
    if (watcher.isError())
        throw fromDBusError(watcher.error());
    if (m_boxError) {
        const BoxError e = *m_boxError;
        m_boxError.reset();
        throw e;
    }
}

void AssistantSession::waitUntil(const std::function<bool()> &done)
{
    while (!done()) {
        throwIfStopped();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

void AssistantSession::throwIfStopped() const
{
    if (m_stops.count() >= 2)
        throw Aborted();
    if (m_serverGone)
        throw AutomationError(
            norvale::platform::error::serverGone, norvale::platform::error::busSource,
            QStringLiteral("The automation server is not available: the Assistant has ended."));
}

const norvale::platform::RemoteObject &AssistantSession::remote() const
{
    if (!m_remote)
        throw AutomationError(91, QStringLiteral("kest721"),
                              QStringLiteral("The Assistant has been released."));
    return *m_remote;
}

bool AssistantSession::Initialized()
{
    return remote()
        .property(norvale::assistant::assistantInterface, QStringLiteral("Initialized"))
        .toBool();
}

assistant::ControlReference AssistantSession::Control()
{
    const QVariant v =
        remote().property(norvale::assistant::assistantInterface, QStringLiteral("Control"));
    if (!v.canConvert<QDBusArgument>())
        throw AutomationError(norvale::platform::error::typeMismatch,
                              norvale::platform::error::busSource,
                              QStringLiteral("Control came back as %1, not (so)")
                                  .arg(QString::fromLatin1(v.typeName())));
    return qdbus_cast<assistant::ControlReference>(v.value<QDBusArgument>());
}

QVariant AssistantSession::controlProperty(const QString &name)
{
    const assistant::ControlReference ref = Control();
    const norvale::platform::RemoteObject control(remote().connection(), ref.service,
                                                  ref.path.path());
    return control.property(norvale::control::interfaceName, name);
}

void AssistantSession::release()
{
    if (!m_remote)
        return;
    const norvale::platform::RemoteObject remote = *m_remote;
    m_remote.reset();
    m_assistant.reset();
    m_house.reset();
    if (!m_serverGone)
        remote.release();
}

void AssistantSession::onShown(quint32 id, const QString &title, const QString &text,
                               const QStringList &buttons)
{
    // Only boxes that one of our own calls is waiting for are ours to answer:
    // the server's other hosts answer theirs.
    if (m_callsWaiting == 0)
        return;
    QString answer;
    if (isDisconnectQuestion(title, buttons)) {
        answer = disconnectAnswer(text);
    } else {
        answer = buttons.contains(buttonOK)       ? buttonOK
                 : buttons.contains(buttonCancel) ? buttonCancel
                                                  : buttons.value(buttons.size() - 1);
        if (!m_boxError)
            m_boxError.emplace(title, text);
    }
    // Not waited for: a box that a person closed first simply refuses it.
    m_prompts->Answer(id, answer);
}

QString AssistantSession::disconnectAnswer(const QString &text) const
{
    switch (m_save) {
    case SaveAnswer::Yes:
        return buttonYes;
    case SaveAnswer::No:
        return buttonNo;
    case SaveAnswer::Ask:
        break;
    }
    if (!::isatty(STDIN_FILENO))
        return buttonNo;
    QTextStream err(stderr);
    err << "Disconnect: " << text << '\n';
    for (;;) {
        err << "Keep the setting changes in the 721? [y]es, [n]o, [c]ancel: ";
        err.flush();
        std::string line;
        // End of input or a stop signal: leave without keeping anything.
        if (!std::getline(std::cin, line)) {
            std::cin.clear();
            err << '\n';
            return buttonNo;
        }
        const QString reply = QString::fromStdString(line).trimmed().toLower();
        if (reply == u"y" || reply == u"yes")
            return buttonYes;
        if (reply == u"n" || reply == u"no")
            return buttonNo;
        if (reply == u"c" || reply == u"cancel")
            return buttonCancel;
    }
}

} // namespace norvale::host
