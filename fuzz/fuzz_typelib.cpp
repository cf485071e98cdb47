// An introspection document, as a server reads its type library: either a
// table the exporter can trust or an AutomationError, never anything else.
#include "platform/AutomationError.h"
#include "platform/automation/TypeLibrary.h"

#include <QDBusSignature>
#include <cstdint>
#include <cstdlib>

namespace
{
bool validSignature(const QString &s)
{
    // QDBusSignature empties a signature that the bus would refuse.
    return s.isEmpty() || QDBusSignature(s).signature() == s;
}
} // namespace

// QDBusSignature warns about every invalid signature; the verdict is what counts.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace norvale::platform;
    const QString xml =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    TypeLibrary lib;
    try {
        lib = parseTypeLibrary(xml);
    } catch (const norvale::platform::AutomationError &) {
        return 0;
    }
    for (const InterfaceInfo &i : lib.interfaces) {
        for (const MethodInfo &m : i.methods)
            if (!validSignature(m.inSignature) || !validSignature(m.outSignature) ||
                m.inNames.size() > m.inSignature.size())
                std::abort(); // every accepted method can be called over the bus
        for (const SignalInfo &s : i.signalList)
            if (!validSignature(s.signature))
                std::abort();
        for (const PropertyInfo &p : i.properties)
            if (!validSignature(p.type) || (!p.readable && !p.writable))
                std::abort();
        if (i.memberOrder.size() != i.methods.size() + i.properties.size() + i.signalList.size())
            std::abort(); // the slot order names every member once
        for (const QString &name : i.memberOrder)
            if (!i.method(name) && !i.property(name) && !i.signal(name))
                std::abort();
    }
    if (!lib.interfacesXml.isEmpty() && !xml.contains(lib.interfacesXml.chopped(1)))
        std::abort(); // Introspect answers with the document's own text
    return 0;
}
