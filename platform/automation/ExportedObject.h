#pragma once
// One automation object on the bus: a node that answers the methods and
// properties of its type library through handlers that the class's adaptor
// registers, raises its events as signals, and answers every failure with
// Norvale.Automation.Error. Property reads and writes go through handlers
// of our own (not QtDBus's property machinery) so that they, too, can fail
// with an error.
#include "platform/automation/TypeLibrary.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QHash>
#include <QPointer>
#include <QVariant>
#include <atomic>
#include <functional>
#include <memory>

namespace norvale::platform
{

class Server;

// The handlers of one class, by interface and member. Handlers throw
// AutomationError to fail. Arguments arrive as QtDBus delivers them: basic
// types as themselves, structures and arrays as QDBusArgument.
class MemberTable
{
public:
    using Method = std::function<QVariantList(const QVariantList &args)>;
    using Getter = std::function<QVariant()>;
    using Setter = std::function<void(const QVariant &value)>;

    void addMethod(const QString &interface, const QString &name, Method m);
    void addProperty(const QString &interface, const QString &name, Getter get, Setter set = {});

    struct Property {
        Getter get;
        Setter set;
    };
    const Method *method(const QString &interface, const QString &name) const;
    const Property *property(const QString &interface, const QString &name) const;

    // Every difference between these handlers and `lib`: a member without a
    // handler, a handler without a member, a getter or setter the access
    // does not allow. Empty when they agree.
    QStringList mismatches(const TypeLibrary &lib) const;

private:
    QHash<QString, Method> m_methods;
    QHash<QString, Property> m_properties;
};

// The class-specific part of one exported object, written per class.
class Servant
{
public:
    virtual ~Servant() = default;
    virtual const MemberTable &members() const = 0;
    // Ends the object's work and calls done() once the object may be
    // destroyed: at once, or later when a loop on the stack has returned.
    virtual void shutdown(std::function<void()> done) { done(); }
};

class ExportedObject : public QDBusVirtualObject
{
    Q_OBJECT
public:
    // Makes the servant of a new object; it may keep the object to raise events.
    using ServantFactory = std::function<std::unique_ptr<Servant>(ExportedObject &object)>;

    // Registers the object at `path`; check isRegistered() afterwards. The
    // servant factory may throw AutomationError, which the caller sees.
    ExportedObject(QDBusConnection connection, const QString &path, const QString &owner,
                   const TypeLibrary &lib, const QString &errorSource,
                   const ServantFactory &makeServant, QObject *parent = nullptr);
    ~ExportedObject() override;

    QString path() const { return m_path; }
    QString owner() const { return m_owner; }
    QDBusConnection connection() const { return m_connection; }
    bool isEnding() const { return m_ending; }
    bool isRegistered() const { return m_registered; }

    // Sends the event `name` of `interface` from this object's path. The
    // values must match the signal's signature in the type library. May be
    // called from any thread.
    void emitSignal(const QString &interface, const QString &name, const QVariantList &args);

    // Called from a method handler: the caller gets no reply when the handler
    // returns; the servant sends it later with sendReply() (from any thread).
    // Returns the call.
    QDBusMessage delayReply();
    void sendReply(const QDBusMessage &reply);

    // Leaves the bus at once; the servant is shut down and the object deleted
    // once no call of this object is running on the stack.
    void end();

    QString introspect(const QString &path) const override;
    // The whole answer to Introspect: the type library, Release and the
    // standard interfaces that this object answers.
    QString introspectionDocument() const;
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;

signals:
    // The object has left the bus; a call of it may still be running.
    void ending();
    // The object has been shut down; it is deleted right after.
    void ended(const QString &path);

private:
    QDBusMessage dispatch(const QDBusMessage &message);
    QDBusMessage callMethod(const QDBusMessage &message);
    QDBusMessage getProperty(const QDBusMessage &message);
    QDBusMessage setProperty(const QDBusMessage &message);
    QDBusMessage getAllProperties(const QDBusMessage &message);
    QDBusMessage fail(const QDBusMessage &message, int32_t number, const QString &text) const;
    void finishIfIdle();

    QDBusConnection m_connection;
    QString m_path;
    QString m_owner;
    const TypeLibrary &m_lib;
    QString m_errorSource;
    std::unique_ptr<Servant> m_servant;
    int m_depth = 0;
    QDBusMessage m_current; // the call being dispatched, innermost
    bool m_delayed = false;
    bool m_registered = false;
    // Read by emitSignal, which a servant may call from a thread of its own.
    std::atomic<bool> m_ending = false;
    bool m_shuttingDown = false;
};

// The D-Bus signature of a value as it would be sent ("" when it cannot be).
QString signatureOf(const QVariant &value);

} // namespace norvale::platform
