// kest721 ports: the serial devices, the port links, and a rule line for one
// adapter.
#include "host/kest721/Commands.h"
#include "host/kest721/MeterJob.h"
#include "host/kest721/Ports.h"
#include "platform/AutomationError.h"
#include "platform/SerialLink.h"

namespace norvale::host
{

using platform::AutomationError;

// The serial devices, the port links, and a rule line for one adapter.
int runPorts(const Options &o, const StopSignals &)
{
    auto printLinks = [](const QString &title, const QString &folder,
                         const QList<PortLink> &links) {
        out() << title << " (" << folder << "):\n";
        if (links.isEmpty())
            out() << "  none\n";
        for (const auto &l : links)
            out() << "  " << l.name << " -> "
                  << (l.target.isEmpty() ? QStringLiteral("%1 (missing)").arg(l.link) : l.target)
                  << '\n';
    };
    if (o.ruleDevice.isEmpty()) {
        printLinks(QStringLiteral("Serial devices"), byIdFolder(), serialDevices());
        printLinks(QStringLiteral("Port links"), norvale::platform::portsFolder(), portLinks());
        out().flush();
        return 0;
    }
    const AdapterSerial serial = adapterSerial(o.ruleDevice);
    if (serial.serial.isEmpty())
        throw AutomationError(1, program,
                              QStringLiteral("No serial number is known for %1: the rule needs a "
                                             "USB serial adapter's name in %2 (see 'kest721 "
                                             "ports').")
                                  .arg(o.ruleDevice, byIdFolder()));
    out() << udevRuleLine(serial.serial, *o.port) << '\n';
    out().flush();
    if (serial.fromName)
        err() << "kest721: the serial number " << serial.serial
              << " is read from the device's name; 'udevadm info --query=property --name=DEVICE' "
                 "shows it as ID_SERIAL_SHORT\n";
    err() << "kest721: put the line in /etc/udev/rules.d/59-norvale-721-adapter.rules (see "
             "README.udev)\n";
    return 0;
}

} // namespace norvale::host
