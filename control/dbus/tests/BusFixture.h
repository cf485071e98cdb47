#pragma once
// Tests of the kest720 program on a private session bus (the test runs under
// dbus-run-session with the build tree's .service files): the bus starts the
// program on the first call, with NORVALE_PORTS pointing at this test's own
// ports folder.
#include "control/dbus/Kest720DBusTypes.h"
#include "platform/AutomationError.h"
// By its path, so that the tests of other components that share this fixture find it.
#include "simulator/tests/SimTesting.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace bustest
{

using norvale::simulator::testing::waitFor;

inline bool serverRunning()
{
    return QDBusConnection::sessionBus()
        .interface()
        ->isServiceRegistered(norvale::control::serviceName)
        .value();
}

// The error `f` throws; a test failure (and an empty error) when it throws none.
inline norvale::platform::AutomationError errorOf(const std::function<void()> &f)
{
    try {
        f();
    } catch (const norvale::platform::AutomationError &e) {
        return e;
    }
    ADD_FAILURE() << "no error";
    return norvale::platform::AutomationError(0, {}, {});
}

// True when no process has the slave side of the pty `masterFd` open.
inline bool slaveClosed(int masterFd)
{
    pollfd p{masterFd, POLLIN, 0};
    return poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP);
}

class KestBus : public ::testing::Test
{
protected:
    void SetUp() override
    {
        norvale::control::registerTypes();
        ASSERT_TRUE(ports.isValid());
        // An earlier test's server may still be on its way out.
        ASSERT_TRUE(waitFor([] { return !serverRunning(); }));
        qDBusRegisterMetaType<QMap<QString, QString>>();
        QDBusMessage m = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("UpdateActivationEnvironment"));
        QMap<QString, QString> env{{QStringLiteral("NORVALE_PORTS"), ports.path()}};
        m << QVariant::fromValue(env);
        const QDBusMessage reply = QDBusConnection::sessionBus().call(m);
        ASSERT_NE(reply.type(), QDBusMessage::ErrorMessage) << reply.errorMessage().toStdString();
    }

    // Makes port `n` lead to a pseudo-terminal whose master this test holds.
    int openPty(int n)
    {
        const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(grantpt(fd), 0);
        EXPECT_EQ(unlockpt(fd), 0);
        const QString slave = QString::fromLocal8Bit(ptsname(fd));
        EXPECT_TRUE(QFile::link(slave, ports.filePath(QStringLiteral("com%1").arg(n))));
        masters.push_back(fd);
        return fd;
    }

    void TearDown() override
    {
        for (int fd : masters)
            ::close(fd);
    }

    QTemporaryDir ports;
    std::vector<int> masters;
};

} // namespace bustest
