#pragma once
// The serial port as the instrument server uses it, and nothing more: select a
// port by number, open, close, clear the receive buffer, count the bytes
// waiting, read all pending input, write a string.
//
// Every operation on a closed port throws AutomationError (serialPortNotOpen):
// the caller sees number, source and description, never a crash.
#include "platform/AutomationError.h"

#include <QByteArray>
#include <QString>
#include <memory>

namespace norvale::platform
{

namespace serialerror
{
inline const QString source = QStringLiteral("721 Serial");
inline constexpr int32_t invalidPortNumber = 8002;
inline constexpr int32_t portAlreadyOpen = 8005;
inline constexpr int32_t portNotOpen = 8018;
inline constexpr int32_t openFailed = 8020;
} // namespace serialerror

class SerialLink
{
public:
    virtual ~SerialLink() = default;

    // Who this port object serves ("kest720-cli, process 4711"), named to a
    // second client of the same process that asks for the same port.
    virtual void setClientName(const QString &name) { (void)name; }
    virtual void setPortNumber(int16_t number) = 0;
    virtual int16_t portNumber() const = 0;
    // Throws AutomationError when the port cannot be opened.
    virtual void open() = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // The operations below throw AutomationError(portNotOpen) on a closed port.
    virtual void clearInput() = 0;
    virtual int bytesWaiting() = 0;
    virtual QByteArray readAll() = 0;
    virtual void write(const QByteArray &data) = 0;
};

// Resolves port number n: the link "com<n>" in the ports folder
// ($NORVALE_PORTS, else $XDG_CONFIG_HOME/norvale/ports, else
// ~/.config/norvale/ports) when it exists, else /dev/ttyS<n-1>. Links are
// resolved to their target, because the port's lock file is named after the
// path that is opened. Returns an empty string for n < 1.
QString portsFolder();
QString resolvePortPath(int n);

// The real port: QSerialPort at 1200 baud, 8 data bits, no parity, 1 stop bit,
// no handshaking.
std::unique_ptr<SerialLink> makeQtSerialLink();

} // namespace norvale::platform
