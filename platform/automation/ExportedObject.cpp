#include "platform/automation/ExportedObject.h"

#include "platform/automation/Automation.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcObject, "norvale.automation.object", QtInfoMsg)

namespace norvale::platform
{

namespace
{
QString key(const QString &interface, const QString &name)
{
    return interface + u'\n' + name;
}

const QString notSupportedText = QStringLiteral("Object doesn't support this property or method");
} // namespace

QString signatureOf(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QDBusArgument>())
        return value.value<QDBusArgument>().currentSignature();
    if (value.metaType() == QMetaType::fromType<QDBusVariant>())
        return QStringLiteral("v");
    const char *sig = QDBusMetaType::typeToSignature(value.metaType());
    return sig ? QString::fromLatin1(sig) : QString();
}

// ---- MemberTable ----------------------------------------------------------

void MemberTable::addMethod(const QString &interface, const QString &name, Method m)
{
    m_methods.insert(key(interface, name), std::move(m));
}

void MemberTable::addProperty(const QString &interface, const QString &name, Getter get, Setter set)
{
    m_properties.insert(key(interface, name), Property{std::move(get), std::move(set)});
}

const MemberTable::Method *MemberTable::method(const QString &interface, const QString &name) const
{
    const auto it = m_methods.constFind(key(interface, name));
    return it == m_methods.cend() ? nullptr : &it.value();
}

const MemberTable::Property *MemberTable::property(const QString &interface,
                                                   const QString &name) const
{
    const auto it = m_properties.constFind(key(interface, name));
    return it == m_properties.cend() ? nullptr : &it.value();
}

QStringList MemberTable::mismatches(const TypeLibrary &lib) const
{
    QStringList out;
    QSet<QString> known;
    for (const InterfaceInfo &iface : lib.interfaces) {
        for (const MethodInfo &m : iface.methods) {
            known.insert(key(iface.name, m.name));
            if (!method(iface.name, m.name))
                out << QStringLiteral("no handler for method %1.%2").arg(iface.name, m.name);
        }
        for (const PropertyInfo &p : iface.properties) {
            known.insert(key(iface.name, p.name));
            const Property *h = property(iface.name, p.name);
            if (!h) {
                out << QStringLiteral("no handler for property %1.%2").arg(iface.name, p.name);
                continue;
            }
            if (p.readable != bool(h->get) || p.writable != bool(h->set))
                out << QStringLiteral("property %1.%2: handlers do not match its access")
                           .arg(iface.name, p.name);
        }
    }
    for (auto it = m_methods.cbegin(); it != m_methods.cend(); ++it)
        if (!known.contains(it.key()))
            out << QStringLiteral("handler for unknown method %1")
                       .arg(QString(it.key()).replace(u'\n', u'.'));
    for (auto it = m_properties.cbegin(); it != m_properties.cend(); ++it)
        if (!known.contains(it.key()))
            out << QStringLiteral("handler for unknown property %1")
                       .arg(QString(it.key()).replace(u'\n', u'.'));
    return out;
}

// ---- ExportedObject -------------------------------------------------------

ExportedObject::ExportedObject(QDBusConnection connection, const QString &path,
                               const QString &owner, const TypeLibrary &lib,
                               const QString &errorSource, const ServantFactory &makeServant,
                               QObject *parent)
    : QDBusVirtualObject(parent), m_connection(std::move(connection)), m_path(path), m_owner(owner),
      m_lib(lib), m_errorSource(errorSource)
{
    m_servant = makeServant(*this);
    if (!m_servant)
        throw AutomationError(error::automationError, m_errorSource,
                              QStringLiteral("The object could not be made"));
    // An adaptor that disagrees with its type library would answer some
    // members wrongly: refuse to serve it at all.
    if (const QStringList wrong = m_servant->members().mismatches(m_lib); !wrong.isEmpty())
        throw AutomationError(error::automationError, m_errorSource,
                              QStringLiteral("The adaptor does not match the type library: %1")
                                  .arg(wrong.join(QStringLiteral("; "))));
    m_registered = m_connection.registerVirtualObject(m_path, this, QDBusConnection::SingleNode);
}

ExportedObject::~ExportedObject()
{
    if (m_registered)
        m_connection.unregisterObject(m_path);
    // The servant goes first: its destructor may still want to raise no more events.
    m_servant.reset();
}

QDBusMessage ExportedObject::delayReply()
{
    m_delayed = true;
    return m_current;
}

void ExportedObject::sendReply(const QDBusMessage &reply)
{
    if (reply.type() != QDBusMessage::InvalidMessage)
        m_connection.send(reply);
}

void ExportedObject::end()
{
    if (m_ending)
        return;
    m_ending = true;
    if (m_registered) {
        m_connection.unregisterObject(m_path);
        m_registered = false;
    }
    emit ending();
    finishIfIdle();
}

void ExportedObject::finishIfIdle()
{
    if (!m_ending || m_depth > 0 || m_shuttingDown)
        return;
    m_shuttingDown = true;
    QPointer<ExportedObject> self(this);
    m_servant->shutdown([self] {
        if (!self)
            return;
        emit self->ended(self->m_path);
        self->deleteLater();
    });
}

void ExportedObject::emitSignal(const QString &interface, const QString &name,
                                const QVariantList &args)
{
    if (m_ending)
        return; // nobody may hear from an object that has left the bus
    const InterfaceInfo *iface = m_lib.interface(interface);
    const SignalInfo *sig = iface ? iface->signal(name) : nullptr;
    QString actual;
    for (const QVariant &v : args)
        actual += signatureOf(v);
    if (!sig || sig->signature != actual) {
        qCWarning(lcObject).noquote() << "signal" << interface << name << "with signature" << actual
                                      << "is not in the type library";
        return;
    }
    QDBusMessage msg = QDBusMessage::createSignal(m_path, interface, name);
    msg.setArguments(args);
    m_connection.send(msg);
}

QString ExportedObject::introspect(const QString &) const
{
    return m_lib.interfacesXml +
           QStringLiteral("  <interface name=\"%1\">\n    <method name=\"Release\"/>\n"
                          "  </interface>\n")
               .arg(objectInterface);
}

namespace
{
const char standardInterfaces[] = R"(  <interface name="org.freedesktop.DBus.Properties">
    <method name="Get">
      <arg name="interface_name" type="s" direction="in"/>
      <arg name="property_name" type="s" direction="in"/>
      <arg name="value" type="v" direction="out"/>
    </method>
    <method name="Set">
      <arg name="interface_name" type="s" direction="in"/>
      <arg name="property_name" type="s" direction="in"/>
      <arg name="value" type="v" direction="in"/>
    </method>
    <method name="GetAll">
      <arg name="interface_name" type="s" direction="in"/>
      <arg name="values" type="a{sv}" direction="out"/>
    </method>
  </interface>
  <interface name="org.freedesktop.DBus.Introspectable">
    <method name="Introspect">
      <arg name="xml_data" type="s" direction="out"/>
    </method>
  </interface>
  <interface name="org.freedesktop.DBus.Peer">
    <method name="Ping"/>
    <method name="GetMachineId">
      <arg name="machine_uuid" type="s" direction="out"/>
    </method>
  </interface>
)";
} // namespace

QString ExportedObject::introspectionDocument() const
{
    return QStringLiteral("<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object "
                          "Introspection 1.0//EN\"\n"
                          " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n"
                          "<node>\n") +
           introspect(m_path) + QString::fromLatin1(standardInterfaces) +
           QStringLiteral("</node>\n");
}

bool ExportedObject::handleMessage(const QDBusMessage &message, const QDBusConnection &)
{
    if (message.type() != QDBusMessage::MethodCallMessage)
        return false;
    ++m_depth;
    // Calls nest: keep the outer call's state for when this one returns.
    const QDBusMessage outer = std::exchange(m_current, message);
    const bool outerDelayed = std::exchange(m_delayed, false);
    QDBusMessage reply;
    try {
        reply = dispatch(message);
    } catch (const AutomationError &e) {
        reply = errorReply(message, e);
    } catch (const std::exception &e) {
        reply = fail(message, error::automationError, QString::fromLocal8Bit(e.what()));
    }
    --m_depth;
    const bool delayed = m_delayed && reply.type() != QDBusMessage::ErrorMessage;
    m_current = outer;
    m_delayed = outerDelayed;
    if (message.isReplyRequired() && !delayed)
        m_connection.send(reply);
    finishIfIdle();
    return true;
}

QDBusMessage ExportedObject::fail(const QDBusMessage &message, int32_t number,
                                  const QString &text) const
{
    return errorReply(message, AutomationError(number, m_errorSource, text));
}

QDBusMessage ExportedObject::dispatch(const QDBusMessage &message)
{
    const QString interface = message.interface();
    const QString member = message.member();
    if (interface == propertiesInterface) {
        if (member == QLatin1StringView("Get"))
            return getProperty(message);
        if (member == QLatin1StringView("Set"))
            return setProperty(message);
        if (member == QLatin1StringView("GetAll"))
            return getAllProperties(message);
        return fail(message, error::notSupported, notSupportedText);
    }
    if (interface == QLatin1StringView("org.freedesktop.DBus.Introspectable") ||
        (interface.isEmpty() && member == u"Introspect")) {
        if (member != QLatin1StringView("Introspect"))
            return fail(message, error::notSupported, notSupportedText);
        return message.createReply(introspectionDocument());
    }
    if (interface == QLatin1StringView("org.freedesktop.DBus.Peer") && member == u"Ping")
        return message.createReply();
    if (interface == objectInterface || (interface.isEmpty() && member == u"Release")) {
        if (member != QLatin1StringView("Release"))
            return fail(message, error::notSupported, notSupportedText);
        if (!message.signature().isEmpty())
            return fail(message, error::wrongArguments,
                        QStringLiteral("Wrong number of arguments or invalid property assignment"));
        // Only the creator holds the reference that Release gives back.
        if (message.service() != m_owner)
            return fail(message, error::permissionDenied, QStringLiteral("Permission denied"));
        end();
        return message.createReply();
    }
    return callMethod(message);
}

QDBusMessage ExportedObject::callMethod(const QDBusMessage &message)
{
    const QString member = message.member();
    const MethodInfo *info = nullptr;
    QString interface = message.interface();
    for (const InterfaceInfo &iface : m_lib.interfaces) {
        if (!interface.isEmpty() && iface.name != interface)
            continue;
        if ((info = iface.method(member))) {
            interface = iface.name;
            break;
        }
    }
    const MemberTable::Method *handler =
        info ? m_servant->members().method(interface, member) : nullptr;
    if (!handler)
        return fail(message, error::notSupported, notSupportedText);
    if (message.signature() != info->inSignature) {
        if (message.arguments().size() != info->inNames.size())
            return fail(message, error::wrongArguments,
                        QStringLiteral("Wrong number of arguments or invalid property assignment"));
        return fail(message, error::typeMismatch, QStringLiteral("Type mismatch"));
    }
    const QVariantList out = (*handler)(message.arguments());
    // A delayed reply is the servant's to build; nothing is sent from here.
    if (m_delayed)
        return message.createReply();
    QString outSig;
    for (const QVariant &v : out)
        outSig += signatureOf(v);
    if (outSig != info->outSignature) {
        qCWarning(lcObject).noquote()
            << member << "returned" << outSig << "instead of" << info->outSignature;
        return fail(
            message, error::automationError,
            QStringLiteral("Internal error: %1 returned a value of the wrong type").arg(member));
    }
    return message.createReply(out);
}

namespace
{
// Finds a property by interface (empty: any interface of the library) and name.
const PropertyInfo *findProperty(const TypeLibrary &lib, QString &interface, const QString &name)
{
    for (const InterfaceInfo &iface : lib.interfaces) {
        if (!interface.isEmpty() && iface.name != interface)
            continue;
        if (const PropertyInfo *p = iface.property(name)) {
            interface = iface.name;
            return p;
        }
    }
    return nullptr;
}
} // namespace

QDBusMessage ExportedObject::getProperty(const QDBusMessage &message)
{
    if (message.signature() != QLatin1StringView("ss"))
        return fail(message, error::typeMismatch, QStringLiteral("Type mismatch"));
    QString interface = message.arguments().at(0).toString();
    const QString name = message.arguments().at(1).toString();
    const PropertyInfo *info = findProperty(m_lib, interface, name);
    const MemberTable::Property *handler =
        info ? m_servant->members().property(interface, name) : nullptr;
    if (!handler)
        return fail(message, error::notSupported, notSupportedText);
    if (!info->readable || !handler->get)
        return fail(message, 394, QStringLiteral("Get not supported (write-only property)"));
    const QVariant value = handler->get();
    if (signatureOf(value) != info->type) {
        qCWarning(lcObject).noquote() << "property" << name << "gave" << signatureOf(value);
        return fail(message, error::automationError,
                    QStringLiteral("Internal error: %1 has a value of the wrong type").arg(name));
    }
    return message.createReply(QVariant::fromValue(QDBusVariant(value)));
}

QDBusMessage ExportedObject::setProperty(const QDBusMessage &message)
{
    if (message.signature() != QLatin1StringView("ssv"))
        return fail(message, error::typeMismatch, QStringLiteral("Type mismatch"));
    QString interface = message.arguments().at(0).toString();
    const QString name = message.arguments().at(1).toString();
    const QVariant value = message.arguments().at(2).value<QDBusVariant>().variant();
    const PropertyInfo *info = findProperty(m_lib, interface, name);
    const MemberTable::Property *handler =
        info ? m_servant->members().property(interface, name) : nullptr;
    if (!handler)
        return fail(message, error::notSupported, notSupportedText);
    if (!info->writable || !handler->set)
        return fail(message, error::readOnly,
                    QStringLiteral("Set not supported (read-only property)"));
    if (signatureOf(value) != info->type) {
        qCDebug(lcObject).noquote()
            << "Set" << name << "with" << value.metaType().name() << signatureOf(value);
        return fail(message, error::typeMismatch, QStringLiteral("Type mismatch"));
    }
    handler->set(value);
    return message.createReply();
}

QDBusMessage ExportedObject::getAllProperties(const QDBusMessage &message)
{
    if (message.signature() != QLatin1StringView("s"))
        return fail(message, error::typeMismatch, QStringLiteral("Type mismatch"));
    const QString wanted = message.arguments().at(0).toString();
    QVariantMap all;
    for (const InterfaceInfo &iface : m_lib.interfaces) {
        if (!wanted.isEmpty() && iface.name != wanted)
            continue;
        for (const PropertyInfo &p : iface.properties) {
            const MemberTable::Property *h = m_servant->members().property(iface.name, p.name);
            if (!p.readable || !h || !h->get)
                continue;
            // A property that cannot be read now (before Initialize, say) is
            // left out rather than failing the whole answer.
            try {
                const QVariant v = h->get();
                if (signatureOf(v) == p.type)
                    all.insert(p.name, v);
            } catch (const AutomationError &) {
            }
        }
    }
    return message.createReply(QVariant::fromValue(all));
}

} // namespace norvale::platform
