#pragma once
// The introspection XML of a class (its "type library"), read into tables
// that the exporter checks calls against and that tests compare with the
// handlers a server offers.
#include <QList>
#include <QString>

namespace norvale::platform
{

struct MethodInfo {
    QString name;
    QString inSignature;  // concatenated "in" argument types
    QString outSignature; // concatenated "out" argument types
    QStringList inNames;
};

struct PropertyInfo {
    QString name;
    QString type;
    bool readable = false;
    bool writable = false;
};

struct SignalInfo {
    QString name;
    QString signature;
};

struct InterfaceInfo {
    QString name;
    QList<MethodInfo> methods;      // in document order
    QList<PropertyInfo> properties; // in document order
    QList<SignalInfo> signalList;   // in document order
    // Members of all three kinds, in document order: the interface's slot order.
    QStringList memberOrder;

    const MethodInfo *method(const QString &name) const;
    const PropertyInfo *property(const QString &name) const;
    const SignalInfo *signal(const QString &name) const;
};

struct TypeLibrary {
    QList<InterfaceInfo> interfaces;
    // The <interface> elements as they stand in the file, for Introspect.
    QString interfacesXml;

    const InterfaceInfo *interface(const QString &name) const;
};

// Reads an introspection document. Throws AutomationError when it is not
// well-formed or names a type that is not a valid D-Bus signature.
TypeLibrary parseTypeLibrary(const QString &xml);
// Reads one from a file or a Qt resource path (":/...").
TypeLibrary loadTypeLibrary(const QString &path);

} // namespace norvale::platform
