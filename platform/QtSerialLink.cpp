#include "platform/SerialLink.h"

#include "platform/PortProbe.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QLoggingCategory>
#include <QSerialPort>

Q_LOGGING_CATEGORY(lcSerial, "norvale.serial")

namespace norvale::platform
{

QString portsFolder()
{
    const QString env = qEnvironmentVariable("NORVALE_PORTS");
    if (!env.isEmpty())
        return env;
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty())
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/norvale/ports");
}

QString resolvePortPath(int n)
{
    if (n < 1)
        return {};
    const QFileInfo link(portsFolder() + QStringLiteral("/com%1").arg(n));
    if (link.isSymLink() || link.exists()) {
        const QString target = link.canonicalFilePath();
        return target.isEmpty() ? link.absoluteFilePath() : target;
    }
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
}

namespace
{

const QString textPortNotOpen = QStringLiteral("Operation valid only when the port is open");

// The devices this process has open, with the client each serves: a second
// object of the same server asking for one of them is told who holds it,
// which the probe cannot see (the lock file and the descriptor are our own).
QHash<QString, QString> &openHere()
{
    // Never destroyed: a port object may outlive the statics at exit.
    static auto *paths = new QHash<QString, QString>;
    return *paths;
}

QString portName(int number, const QString &path)
{
    return QStringLiteral("port %1 (%2)").arg(number).arg(path);
}

class QtSerialLink final : public SerialLink
{
public:
    QtSerialLink()
    {
        QObject::connect(
            &m_port, &QSerialPort::errorOccurred, [this](QSerialPort::SerialPortError e) {
                // A far side that goes away (adapter pulled, pseudo-terminal closed)
                // raises ResourceError or ReadError on every pass of the event loop:
                // close at the first one and remember why.
                if ((e == QSerialPort::ResourceError || e == QSerialPort::ReadError) &&
                    m_port.isOpen()) {
                    m_why =
                        QStringLiteral("the line to %1 was lost").arg(portName(m_number, m_path));
                    qCWarning(lcSerial) << "closing port:" << m_why;
                    closePort();
                }
            });
    }

    ~QtSerialLink() override { closePort(); }

    void setClientName(const QString &name) override { m_client = name; }
    void setPortNumber(int16_t number) override { m_number = number; }
    int16_t portNumber() const override { return m_number; }

    void open() override
    {
        if (m_port.isOpen())
            throw AutomationError(serialerror::portAlreadyOpen, serialerror::source,
                                  QStringLiteral("Port already open"));
        m_why.clear();
        const QString path = resolvePortPath(m_number);
        if (path.isEmpty()) {
            m_why = QStringLiteral("port %1: port numbers begin at 1").arg(m_number);
            throw AutomationError(serialerror::invalidPortNumber, serialerror::source,
                                  QStringLiteral("Invalid port number (%1)").arg(m_why));
        }
        m_port.setPortName(path);
        if (openHere().contains(path)) {
            QString holder = openHere().value(path);
            if (holder.isEmpty())
                holder = QStringLiteral("process %1, %2")
                             .arg(QCoreApplication::applicationPid())
                             .arg(QCoreApplication::applicationName());
            m_why = QStringLiteral("%1 is in use by another client of this server (%2)")
                        .arg(portName(m_number, path), holder);
            throw AutomationError(serialerror::portAlreadyOpen, serialerror::source,
                                  QStringLiteral("Cannot open %1: %2").arg(path, m_why));
        }
        if (!m_port.open(QIODevice::ReadWrite)) {
            const QString why = m_port.errorString();
            const bool busy = m_port.error() == QSerialPort::PermissionError;
            // The serial layer's own text ("Permission error while locking the
            // device") hides the cause; the probe names it in the system's words.
            m_why = describePortProblem(probePort(m_number));
            if (m_why.isEmpty())
                m_why = portName(m_number, path) + QStringLiteral(": ") + why;
            qCInfo(lcSerial).noquote() << "cannot open" << path << why << "-" << m_why;
            throw AutomationError(busy ? serialerror::portAlreadyOpen : serialerror::openFailed,
                                  serialerror::source,
                                  QStringLiteral("Cannot open %1: %2").arg(path, m_why));
        }
        m_path = path;
        openHere().insert(path, m_client);
        m_port.setBaudRate(QSerialPort::Baud1200);
        m_port.setDataBits(QSerialPort::Data8);
        m_port.setParity(QSerialPort::NoParity);
        m_port.setStopBits(QSerialPort::OneStop);
        m_port.setFlowControl(QSerialPort::NoFlowControl);
        // The meter draws no power from the control lines; a pseudo-terminal
        // refuses them, which is harmless.
        m_port.setDataTerminalReady(true);
        m_port.setRequestToSend(true);
        m_port.clearError();
        qCDebug(lcSerial) << "opened" << path;
    }

    void close() override
    {
        closePort();
        m_why.clear();
    }

    bool isOpen() const override { return m_port.isOpen(); }

    void clearInput() override
    {
        pull();
        m_port.clear(QSerialPort::Input);
        m_port.readAll();
    }

    int bytesWaiting() override
    {
        pull();
        return static_cast<int>(m_port.bytesAvailable());
    }

    QByteArray readAll() override
    {
        pull();
        return m_port.readAll();
    }

    void write(const QByteArray &data) override
    {
        requireOpen();
        m_port.write(data);
        // Written at once, not when the event loop next runs: the protocol
        // paces single characters with sleeps in between.
        m_port.flush();
        requireOpen();
    }

private:
    void requireOpen() const
    {
        if (!m_port.isOpen())
            throw AutomationError(serialerror::portNotOpen, serialerror::source,
                                  m_why.isEmpty() ? textPortNotOpen
                                                  : textPortNotOpen + QStringLiteral(": ") + m_why);
    }

    void closePort()
    {
        if (!m_port.isOpen())
            return;
        openHere().remove(m_path);
        m_port.close();
    }

    // Moves what the system has received into the port's buffer; QSerialPort
    // otherwise reads only while the event loop runs.
    void pull()
    {
        requireOpen();
        m_port.waitForReadyRead(0);
        requireOpen();
    }

    QSerialPort m_port;
    int16_t m_number = 0;
    QString m_client;
    QString m_path; // of the open port
    // Why the port is not open: it could not be opened, or its line was lost.
    QString m_why;
};

} // namespace

std::unique_ptr<SerialLink> makeQtSerialLink()
{
    return std::make_unique<QtSerialLink>();
}

} // namespace norvale::platform
