#include "host/kest721/Ports.h"

#include "platform/SerialLink.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace norvale::host
{

namespace
{
PortLink linkOf(const QFileInfo &entry)
{
    return {entry.fileName(), entry.canonicalFilePath(),
            entry.isSymLink() ? entry.symLinkTarget() : entry.absoluteFilePath()};
}

// udev keeps a record of each device it has seen, readable by every user.
QString udevSerial(const QString &devicePath)
{
    struct stat st;
    if (::stat(QFile::encodeName(devicePath).constData(), &st) != 0 || !S_ISCHR(st.st_mode))
        return {};
    QFile record(
        QStringLiteral("/run/udev/data/c%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev)));
    if (!record.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    const QByteArray key = "E:ID_SERIAL_SHORT=";
    while (!record.atEnd()) {
        const QByteArray line = record.readLine().trimmed();
        if (line.startsWith(key))
            return QString::fromUtf8(line.mid(key.size()));
    }
    return {};
}
} // namespace

QString byIdFolder()
{
    const QString env = qEnvironmentVariable("NORVALE_SERIAL_BY_ID");
    return env.isEmpty() ? QStringLiteral("/dev/serial/by-id") : env;
}

QList<PortLink> serialDevices()
{
    QList<PortLink> out;
    const QDir dir(byIdFolder());
    for (const QFileInfo &e :
         dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name))
        out << linkOf(e);
    return out;
}

QList<PortLink> portLinks()
{
    static const QRegularExpression comName(QStringLiteral("^com([1-9][0-9]*)$"));
    QList<std::pair<qint64, PortLink>> found;
    const QDir dir(norvale::platform::portsFolder());
    for (const QFileInfo &e :
         dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        const auto m = comName.match(e.fileName());
        if (m.hasMatch())
            found.append({m.captured(1).toLongLong(), linkOf(e)});
    }
    std::sort(found.begin(), found.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    QList<PortLink> out;
    for (const auto &f : found)
        out << f.second;
    return out;
}

QString serialOfByIdName(const QString &name)
{
    // usb-<vendor>_<model>_<serial>-if<nn>[-port<n>]; vendor and model may
    // hold underscores of their own, the serial rarely does.
    static const QRegularExpression byId(QStringLiteral("^usb-(.+)-if[0-9A-Fa-f]+(-port[0-9]+)?$"));
    const auto m = byId.match(name);
    if (!m.hasMatch())
        return {};
    const QString serialPart = m.captured(1);
    const qsizetype underscore = serialPart.lastIndexOf(u'_');
    return underscore < 0 ? QString() : serialPart.mid(underscore + 1);
}

AdapterSerial adapterSerial(const QString &device)
{
    const QFileInfo info(device.contains(u'/') ? device : byIdFolder() + u'/' + device);
    const QString fromUdev = udevSerial(info.canonicalFilePath());
    if (!fromUdev.isEmpty())
        return {fromUdev, false};
    return {serialOfByIdName(info.fileName()), true};
}

QString udevRuleLine(const QString &serial, int port)
{
    return QStringLiteral("SUBSYSTEM==\"tty\", ENV{ID_BUS}==\"usb\", "
                          "ENV{ID_SERIAL_SHORT}==\"%1\", ENV{NORVALE_721}=\"1\", "
                          "SYMLINK+=\"norvale/com%2\"")
        .arg(serial)
        .arg(port);
}

} // namespace norvale::host
