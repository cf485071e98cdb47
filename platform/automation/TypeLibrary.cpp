#include "platform/automation/TypeLibrary.h"

#include "platform/automation/Automation.h"

#include <QDBusSignature>
#include <QFile>
#include <QXmlStreamReader>

namespace norvale::platform
{

namespace
{
template <typename T> const T *findByName(const QList<T> &list, const QString &name)
{
    for (const T &item : list)
        if (item.name == name)
            return &item;
    return nullptr;
}

[[noreturn]] void bad(const QString &what)
{
    throw AutomationError(error::automationError, QStringLiteral("Norvale.Automation"),
                          QStringLiteral("Bad type library: %1").arg(what));
}

QString checkedType(const QString &type, const QString &where)
{
    if (type.isEmpty() || !QDBusSignature(type).signature().size())
        bad(QStringLiteral("invalid type \"%1\" in %2").arg(type, where));
    return type;
}
} // namespace

const MethodInfo *InterfaceInfo::method(const QString &n) const
{
    return findByName(methods, n);
}
const PropertyInfo *InterfaceInfo::property(const QString &n) const
{
    return findByName(properties, n);
}
const SignalInfo *InterfaceInfo::signal(const QString &n) const
{
    return findByName(signalList, n);
}
const InterfaceInfo *TypeLibrary::interface(const QString &n) const
{
    return findByName(interfaces, n);
}

TypeLibrary parseTypeLibrary(const QString &xml)
{
    TypeLibrary lib;
    QXmlStreamReader r(xml);
    InterfaceInfo *iface = nullptr;
    MethodInfo *method = nullptr;
    SignalInfo *signal = nullptr;
    while (!r.atEnd()) {
        r.readNext();
        if (r.isStartElement()) {
            const auto a = r.attributes();
            const QString name = a.value(QLatin1StringView("name")).toString();
            if (r.name() == QLatin1StringView("interface")) {
                lib.interfaces.append(InterfaceInfo{name, {}, {}, {}, {}});
                iface = &lib.interfaces.last();
            } else if (!iface) {
                continue;
            } else if (r.name() == QLatin1StringView("method")) {
                iface->methods.append(MethodInfo{name, {}, {}, {}});
                iface->memberOrder.append(name);
                method = &iface->methods.last();
            } else if (r.name() == QLatin1StringView("signal")) {
                iface->signalList.append(SignalInfo{name, {}});
                iface->memberOrder.append(name);
                signal = &iface->signalList.last();
            } else if (r.name() == QLatin1StringView("property")) {
                const QString access = a.value(QLatin1StringView("access")).toString();
                if (access != QLatin1StringView("read") && access != QLatin1StringView("write") &&
                    access != QLatin1StringView("readwrite"))
                    bad(QStringLiteral("property %1 has access \"%2\"").arg(name, access));
                iface->properties.append(PropertyInfo{
                    name, checkedType(a.value(QLatin1StringView("type")).toString(), name),
                    access.contains(QLatin1StringView("read")),
                    access.contains(QLatin1StringView("write"))});
                iface->memberOrder.append(name);
            } else if (r.name() == QLatin1StringView("arg")) {
                const QString type =
                    checkedType(a.value(QLatin1StringView("type")).toString(), name);
                if (method) {
                    if (a.value(QLatin1StringView("direction")) == QLatin1StringView("out")) {
                        method->outSignature += type;
                    } else {
                        method->inSignature += type;
                        method->inNames.append(name);
                    }
                } else if (signal) {
                    signal->signature += type;
                }
            }
        } else if (r.isEndElement()) {
            if (r.name() == QLatin1StringView("method"))
                method = nullptr;
            else if (r.name() == QLatin1StringView("signal"))
                signal = nullptr;
            else if (r.name() == QLatin1StringView("interface"))
                iface = nullptr;
        }
    }
    if (r.hasError())
        bad(r.errorString());
    // Introspect answers with the interfaces only: the bus library wraps them in its own node.
    const qsizetype first = xml.indexOf(QLatin1StringView("<interface"));
    const qsizetype last = xml.lastIndexOf(QLatin1StringView("</interface>"));
    if (first >= 0 && last > first)
        lib.interfacesXml = xml.mid(first, last - first + 12) + QLatin1Char('\n');
    return lib;
}

TypeLibrary loadTypeLibrary(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        bad(QStringLiteral("cannot read %1").arg(path));
    return parseTypeLibrary(QString::fromUtf8(f.readAll()));
}

} // namespace norvale::platform
