#pragma once
// The names of the Assistant's bus contract and the structures that cross
// it beside the instrument's: the reference to the Assistant's instrument
// object (bus name, path) and an open message box (id, title, text, buttons).
#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QList>
#include <QString>
#include <QStringList>

namespace norvale::assistant
{
struct ControlReference {
    QString service;
    QDBusObjectPath path;
};

struct PromptInfo {
    quint32 id = 0;
    QString title;
    QString text;
    QStringList buttons;
};
using PromptList = QList<PromptInfo>;

// In the namespace of the types they stream, where QtDBus finds them by
// argument-dependent lookup.
QDBusArgument &operator<<(QDBusArgument &arg, const ControlReference &c);
const QDBusArgument &operator>>(const QDBusArgument &arg, ControlReference &c);
QDBusArgument &operator<<(QDBusArgument &arg, const PromptInfo &p);
const QDBusArgument &operator>>(const QDBusArgument &arg, PromptInfo &p);

inline const QString assistantService = QStringLiteral("kest721xl.kest721Assistant");
inline const QString msgBoxService = QStringLiteral("kest721xl.MsgBox");
inline const QString assistantInterface = QStringLiteral("kest721xl._kest721Assistant");
inline const QString assistantHouseInterface = QStringLiteral("Norvale.Assistant");
inline const QString assistantEvents = QStringLiteral("kest721xl.__kest721Assistant");
inline const QString msgBoxInterface = QStringLiteral("kest721xl._MsgBox");
inline const QString msgBoxEvents = QStringLiteral("kest721xl.__MsgBox");
inline const QString promptsInterface = QStringLiteral("Norvale.Automation.Prompts");
inline const QString promptsPath = QStringLiteral("/prompts");
inline const QString displayInterface = QStringLiteral("Kest720UI._Display");

// Registers the types with QtDBus (and the instrument's); call before use.
void registerTypes();
} // namespace norvale::assistant

Q_DECLARE_METATYPE(norvale::assistant::ControlReference)
Q_DECLARE_METATYPE(norvale::assistant::PromptInfo)
