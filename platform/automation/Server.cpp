#include "platform/automation/Server.h"

#include "platform/automation/Automation.h"

#include <QCommandLineParser>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcServer, "norvale.automation.server")

namespace norvale::platform
{

ClassFactory::ClassFactory(Server &server) : m_server(server) {}

QDBusObjectPath ClassFactory::CreateInstance()
{
    try {
        return QDBusObjectPath(m_server.createInstance(message().service()));
    } catch (const AutomationError &e) {
        sendErrorReply(errorName, e.toMessage());
        return {};
    }
}

Server::Server(QDBusConnection connection, ServerOptions options, TypeLibrary lib,
               ExportedObject::ServantFactory makeServant, QObject *parent)
    : QObject(parent), m_connection(std::move(connection)), m_options(std::move(options)),
      m_lib(std::move(lib)), m_makeServant(std::move(makeServant)), m_factory(*this)
{
    m_watcher = new QDBusServiceWatcher(this);
    m_watcher->setConnection(m_connection);
    m_watcher->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(m_watcher, &QDBusServiceWatcher::serviceUnregistered, this, &Server::ownerGone);

    m_graceTimer.setSingleShot(true);
    connect(&m_graceTimer, &QTimer::timeout, this, [this] {
        if (m_objects.isEmpty()) {
            qCInfo(lcServer) << "no object was created; leaving";
            finishSoon();
        }
    });
    m_busTimer.setInterval(m_options.busCheckMs);
    connect(&m_busTimer, &QTimer::timeout, this, &Server::checkBus);
}

Server::~Server()
{
    for (const auto &obj : std::as_const(m_objects))
        delete obj.data();
    m_connection.unregisterObject(QStringLiteral("/"));
    if (!m_finishing)
        m_connection.unregisterService(m_options.serviceName);
}

bool Server::start(QString *why)
{
    auto failed = [why](const QString &text) {
        if (why)
            *why = text;
        return false;
    };
    if (!m_connection.isConnected())
        return failed(QStringLiteral("no connection to the session bus"));
    if (!m_connection.registerObject(QStringLiteral("/"), &m_factory,
                                     QDBusConnection::ExportAllSlots))
        return failed(QStringLiteral("cannot register the class factory"));
    if (!m_connection.registerService(m_options.serviceName))
        return failed(QStringLiteral("cannot own the name %1: %2")
                          .arg(m_options.serviceName, m_connection.lastError().message()));
    m_graceTimer.start(m_options.startupGraceMs);
    m_busTimer.start();
    return true;
}

QString Server::createInstance(const QString &owner)
{
    if (m_finishing)
        throw AutomationError(error::serverGone, m_options.errorSource,
                              QStringLiteral("The server is shutting down"));
    const QString path = QStringLiteral("/%1/%2").arg(m_options.className).arg(m_next++);
    auto *obj = new ExportedObject(m_connection, path, owner, m_lib, m_options.errorSource,
                                   m_makeServant, this);
    if (!obj->isRegistered()) {
        delete obj;
        throw AutomationError(error::automationError, m_options.errorSource,
                              QStringLiteral("Cannot register the object %1").arg(path));
    }
    m_objects.insert(path, obj);
    connect(obj, &ExportedObject::ended, this, &Server::objectEnded);
    m_graceTimer.stop();
    if (!owner.isEmpty()) {
        m_watcher->addWatchedService(owner);
        // The creator may have left before the watch was in place.
        if (!m_connection.interface()->isServiceRegistered(owner).value())
            ownerGone(owner);
    }
    qCInfo(lcServer).noquote() << "created" << path << "for" << owner;
    return path;
}

void Server::ownerGone(const QString &owner)
{
    m_watcher->removeWatchedService(owner);
    const auto objects = m_objects; // end() may change the map
    for (const auto &obj : objects)
        if (obj && obj->owner() == owner) {
            qCInfo(lcServer).noquote() << obj->path() << "ends: its creator left the bus";
            obj->end();
        }
}

void Server::objectEnded(const QString &path)
{
    m_objects.remove(path);
    if (m_objects.isEmpty())
        finishSoon();
}

void Server::checkBus()
{
    if (m_connection.isConnected())
        return;
    // The usual end of a session bus (dbus-run-session returning), not a fault.
    qCInfo(lcServer) << "the bus connection is lost; leaving";
    m_busTimer.stop();
    if (m_objects.isEmpty())
        finishSoon();
    else
        endAll();
}

void Server::endAll()
{
    const auto objects = m_objects;
    for (const auto &obj : objects)
        if (obj)
            obj->end();
}

void Server::finishSoon()
{
    if (m_finishing)
        return;
    m_finishing = true;
    m_connection.unregisterService(m_options.serviceName);
    QTimer::singleShot(0, this, &Server::finished);
}

QCommandLineOption graceOption()
{
    return QCommandLineOption(QStringLiteral("grace"),
                              QStringLiteral("Milliseconds to wait for the first object "
                                             "(default 10000)."),
                              QStringLiteral("ms"), QStringLiteral("10000"));
}

std::optional<int> graceMs(const QCommandLineParser &parser, const QCommandLineOption &option)
{
    bool ok = false;
    const int ms = parser.value(option).toInt(&ok);
    if (!ok || ms < 0)
        return std::nullopt;
    return ms;
}

} // namespace norvale::platform
