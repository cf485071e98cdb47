#include "SerialLink.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSerialPort>

Q_LOGGING_CATEGORY(lcSerial, "norvale.serial")

namespace norvale {

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

namespace {

class QtSerialLink final : public SerialLink {
public:
    QtSerialLink()
    {
        QObject::connect(&m_port, &QSerialPort::errorOccurred, [this](QSerialPort::SerialPortError e) {
            // A far side that goes away (adapter pulled, pseudo-terminal closed)
            // raises ResourceError or ReadError on every pass of the event loop:
            // close at the first one and remember why.
            if ((e == QSerialPort::ResourceError || e == QSerialPort::ReadError) &&
                m_port.isOpen()) {
                m_lost = QStringLiteral("the line to %1 was lost").arg(m_port.portName());
                qCWarning(lcSerial) << "closing port:" << m_lost;
                m_port.close();
            }
        });
    }

    void setPortNumber(int16_t number) override { m_number = number; }
    int16_t portNumber() const override { return m_number; }

    void open() override
    {
        if (m_port.isOpen())
            throw AutomationError(serialerror::portAlreadyOpen, serialerror::source,
                                  QStringLiteral("Port already open"));
        const QString path = resolvePortPath(m_number);
        if (path.isEmpty())
            throw AutomationError(serialerror::invalidPortNumber, serialerror::source,
                                  QStringLiteral("Invalid port number"));
        m_port.setPortName(path);
        m_lost.clear();
        if (!m_port.open(QIODevice::ReadWrite)) {
            const QString why = m_port.errorString();
            const bool busy = m_port.error() == QSerialPort::PermissionError;
            qCInfo(lcSerial) << "cannot open" << path << why;
            throw AutomationError(busy ? serialerror::portAlreadyOpen : serialerror::openFailed,
                                  serialerror::source,
                                  QStringLiteral("Cannot open %1: %2").arg(path, why));
        }
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
        if (m_port.isOpen())
            m_port.close();
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
                                  m_lost.isEmpty()
                                      ? QStringLiteral("Operation valid only when the port is open")
                                      : QStringLiteral("Operation valid only when the port is open (%1)")
                                            .arg(m_lost));
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
    QString m_lost;
};

} // namespace

std::unique_ptr<SerialLink> makeQtSerialLink() { return std::make_unique<QtSerialLink>(); }

} // namespace norvale
