#pragma once
// What `kest721 ports` shows: the serial devices present by their stable
// names, the com<n> links of the ports folder, and the udev rule line that
// gives an adapter its port number. Reads only what any user may read.
#include <QList>
#include <QString>

namespace norvale::host
{

struct PortLink {
    QString name;   // "usb-...-if00-port0", or "com3"
    QString target; // the device it leads to; empty when it leads nowhere
    QString link;   // what the link says, as written
};

// $NORVALE_SERIAL_BY_ID, else /dev/serial/by-id.
QString byIdFolder();
// The entries of the by-id folder, by name.
QList<PortLink> serialDevices();
// The com<n> links of the ports folder, by number.
QList<PortLink> portLinks();

struct AdapterSerial {
    QString serial;        // ID_SERIAL_SHORT
    bool fromName = false; // guessed from the by-id name, not read from udev
};

// The serial number of the adapter behind a by-id name or path: udev's own
// record of the device when it is readable, else the part of the name
// between the last '_' and "-if". Empty when neither gives one.
AdapterSerial adapterSerial(const QString &device);
// The by-id name's guess alone ("usb-Maker_Model_A1B2-if00-port0" -> "A1B2").
QString serialOfByIdName(const QString &name);

// One line for 59-norvale-721-adapter.rules, as in the shipped example.
QString udevRuleLine(const QString &serial, int port);

} // namespace norvale::host
