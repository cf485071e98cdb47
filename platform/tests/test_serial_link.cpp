// The serial link against a real pseudo-terminal: the far side is the master
// end, held by the test.
#include "platform/SerialLink.h"
#include "platform/Ticks.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using namespace norvale::platform;

namespace
{

struct Pty {
    int master = -1;
    QString slave;
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        slave = QString::fromLocal8Bit(ptsname(master));
        // Raw from the start so that nothing is echoed or translated.
        termios t{};
        const int s = ::open(ptsname(master), O_RDWR | O_NOCTTY);
        tcgetattr(s, &t);
        cfmakeraw(&t);
        tcsetattr(s, TCSANOW, &t);
        ::close(s);
    }
    ~Pty() { closeMaster(); }
    void closeMaster()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    void send(const QByteArray &b) { ASSERT_EQ(::write(master, b.data(), b.size()), b.size()); }
    QByteArray receive(int waitMs = 200)
    {
        QByteArray out;
        const uint32_t t0 = tickCount();
        while (ticksSince(t0, tickCount()) < static_cast<uint32_t>(waitMs)) {
            char buf[256];
            fcntl(master, F_SETFL, O_NONBLOCK);
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0)
                out.append(buf, n);
            else
                sleepMs(5);
        }
        return out;
    }
};

class SerialLinkTest : public ::testing::Test
{
protected:
    void SetUp() override { qputenv("NORVALE_PORTS", ports.path().toLocal8Bit()); }
    void TearDown() override { qunsetenv("NORVALE_PORTS"); }
    void link(int n, const QString &target)
    {
        QFile::link(target, ports.filePath(QStringLiteral("com%1").arg(n)));
    }
    QTemporaryDir ports;
};

int32_t errorNumberOf(const std::function<void()> &f)
{
    try {
        f();
    } catch (const AutomationError &e) {
        EXPECT_EQ(e.source(), serialerror::source);
        EXPECT_FALSE(e.description().isEmpty());
        return e.number();
    }
    return 0;
}

} // namespace

TEST_F(SerialLinkTest, PortNumbersResolveThroughTheLinkFolder)
{
    Pty pty;
    link(3, pty.slave);
    EXPECT_EQ(resolvePortPath(3), pty.slave) << "links are resolved to their target";
    EXPECT_EQ(resolvePortPath(4), "/dev/ttyS3") << "no link: the standard device";
    EXPECT_EQ(resolvePortPath(0), "");
    qunsetenv("NORVALE_PORTS");
    qputenv("XDG_CONFIG_HOME", "/nonexistent-config");
    EXPECT_EQ(portsFolder(), "/nonexistent-config/norvale/ports");
}

TEST_F(SerialLinkTest, BytesCrossBothWaysAndClearDiscardsInput)
{
    Pty pty;
    link(1, pty.slave);
    auto port = makeQtSerialLink();
    port->setPortNumber(1);
    port->open();
    ASSERT_TRUE(port->isOpen());

    port->write("C");
    EXPECT_EQ(pty.receive(), "C");

    pty.send("stale");
    sleepMs(50);
    EXPECT_EQ(port->bytesWaiting(), 5) << "counted without running the event loop";
    port->clearInput();
    EXPECT_EQ(port->bytesWaiting(), 0);

    pty.send("C\r\nCMD?");
    sleepMs(50);
    EXPECT_EQ(port->readAll(), "C\r\nCMD?");
    EXPECT_EQ(port->readAll(), "") << "read removes what it returns";
    port->close();
    EXPECT_FALSE(port->isOpen());
}

TEST_F(SerialLinkTest, MissingPortFailsAndClosedPortRaisesItsOwnError)
{
    auto port = makeQtSerialLink();
    port->setPortNumber(0);
    EXPECT_EQ(errorNumberOf([&] { port->open(); }), serialerror::invalidPortNumber);
    link(2, ports.filePath("no-such-device"));
    port->setPortNumber(2);
    EXPECT_NE(errorNumberOf([&] { port->open(); }), 0);
    EXPECT_FALSE(port->isOpen());
    EXPECT_EQ(errorNumberOf([&] { port->write("C"); }), serialerror::portNotOpen);
    EXPECT_EQ(errorNumberOf([&] { port->readAll(); }), serialerror::portNotOpen);
    EXPECT_EQ(errorNumberOf([&] { port->bytesWaiting(); }), serialerror::portNotOpen);
    EXPECT_EQ(errorNumberOf([&] { port->clearInput(); }), serialerror::portNotOpen);
}

TEST_F(SerialLinkTest, BusyPortFailsQuietlyForTheSecondUser)
{
    Pty pty;
    link(5, pty.slave);
    auto first = makeQtSerialLink();
    auto second = makeQtSerialLink();
    first->setPortNumber(5);
    second->setPortNumber(5);
    first->open();
    EXPECT_NE(errorNumberOf([&] { second->open(); }), 0);
    EXPECT_TRUE(first->isOpen());
    EXPECT_FALSE(second->isOpen());
}

TEST_F(SerialLinkTest, DroppedLineClosesThePortAndLaterCallsRaise)
{
    auto pty = std::make_unique<Pty>();
    link(6, pty->slave);
    auto port = makeQtSerialLink();
    port->setPortNumber(6);
    port->open();
    pty->closeMaster();
    int32_t number = 0;
    for (int i = 0; i < 20 && number == 0; ++i) {
        pumpEvents();
        number = errorNumberOf([&] { port->readAll(); });
        sleepMs(10);
    }
    EXPECT_EQ(number, serialerror::portNotOpen);
    EXPECT_FALSE(port->isOpen());
    try {
        port->readAll();
        ADD_FAILURE() << "a lost line reads";
    } catch (const AutomationError &e) {
        EXPECT_TRUE(e.description().endsWith(
            QStringLiteral(": the line to port 6 (%1) was lost").arg(pty->slave)))
            << e.description().toStdString();
    }
}

namespace
{
QString descriptionOf(const std::function<void()> &f)
{
    try {
        f();
    } catch (const AutomationError &e) {
        EXPECT_EQ(e.number(), serialerror::portNotOpen);
        return e.description();
    }
    return {};
}
} // namespace

TEST_F(SerialLinkTest, AClosedPortNamesItselfAndWhyItIsNotOpen)
{
    const QString seed = QStringLiteral("Operation valid only when the port is open");
    QFile regular(ports.filePath("not-a-device"));
    ASSERT_TRUE(regular.open(QIODevice::WriteOnly));
    link(2, ports.filePath("no-such-device"));
    link(4, regular.fileName());
    Pty pty;
    link(5, pty.slave);
    auto holder = makeQtSerialLink();
    holder->setClientName(QStringLiteral("kest720-cli, process 4711"));
    holder->setPortNumber(5);
    holder->open();
    const struct {
        int port;
        QString reason;
    } cases[] = {
        {2,
         QStringLiteral(": No such file or directory; the link names a device that is not there")},
        {4, QStringLiteral(": Inappropriate ioctl for device")},
        {5, QStringLiteral(" is in use by another client of this server (kest720-cli, process "
                           "4711)")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.port);
        auto port = makeQtSerialLink();
        port->setPortNumber(int16_t(c.port));
        EXPECT_NE(errorNumberOf([&] { port->open(); }), 0);
        const QString text = descriptionOf([&] { port->readAll(); });
        // The text callers match on comes first, unchanged.
        EXPECT_TRUE(text.startsWith(seed + QStringLiteral(": port %1 (").arg(c.port)))
            << text.toStdString();
        EXPECT_TRUE(text.contains(c.reason)) << text.toStdString();
        port->close();
        EXPECT_EQ(descriptionOf([&] { port->write("C"); }), seed) << "a port closed on purpose";
    }
    holder->close();
    auto next = makeQtSerialLink();
    next->setPortNumber(5);
    next->open();
    EXPECT_TRUE(next->isOpen()) << "a port that was let go is free for the next client";
}
