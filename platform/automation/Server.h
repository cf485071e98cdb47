#pragma once
// The server side of a program that serves one automation class: the class
// factory at "/", the objects it creates, and the program's lifetime.
//
// The program ends (finished() is emitted) when its last object has ended,
// when no client has created an object within the start-up grace time, or
// when the connection to the bus is lost.
#include "platform/automation/ExportedObject.h"
#include "platform/automation/TypeLibrary.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QMap>
#include <QObject>
#include <QTimer>

#include <QCommandLineOption>
#include <optional>

class QCommandLineParser;
class QDBusServiceWatcher;

namespace norvale::platform
{

struct ServerOptions {
    QString serviceName;        // the programmatic identifier, "Norvale720.kest720"
    QString className;          // the object paths are "/<className>/<n>"
    QString errorSource;        // source of the errors that the layer raises itself
    int startupGraceMs = 10000; // time to wait for the first CreateInstance
    int busCheckMs = 1000;      // how often the bus connection is checked
};

class Server;

// The object at "/": Norvale.Automation.ClassFactory.
class ClassFactory : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "Norvale.Automation.ClassFactory")
public:
    explicit ClassFactory(Server &server);
public slots:
    QDBusObjectPath CreateInstance();

private:
    Server &m_server;
};

class Server : public QObject
{
    Q_OBJECT
public:
    Server(QDBusConnection connection, ServerOptions options, TypeLibrary lib,
           ExportedObject::ServantFactory makeServant, QObject *parent = nullptr);
    ~Server() override;

    // Registers the factory and takes the well-known name. Returns false
    // (with the reason in *why) when either fails, e.g. the name is taken.
    bool start(QString *why = nullptr);

    // Creates an object owned by `owner` and returns its path; throws
    // AutomationError when the servant cannot be made.
    QString createInstance(const QString &owner);

    int objectCount() const { return static_cast<int>(m_objects.size()); }
    const TypeLibrary &typeLibrary() const { return m_lib; }
    QDBusConnection connection() const { return m_connection; }

signals:
    void finished();

private:
    void ownerGone(const QString &owner);
    void objectEnded(const QString &path);
    void checkBus();
    void endAll();
    void finishSoon();

    QDBusConnection m_connection;
    ServerOptions m_options;
    TypeLibrary m_lib;
    ExportedObject::ServantFactory m_makeServant;
    ClassFactory m_factory;
    QDBusServiceWatcher *m_watcher = nullptr;
    QMap<QString, QPointer<ExportedObject>> m_objects;
    QTimer m_graceTimer;
    QTimer m_busTimer;
    quint64 m_next = 1;
    bool m_finishing = false;
};

// The --grace option of a server program, and the milliseconds it gives;
// none when its value is not a number of milliseconds.
QCommandLineOption graceOption();
std::optional<int> graceMs(const QCommandLineParser &parser, const QCommandLineOption &option);

} // namespace norvale::platform
