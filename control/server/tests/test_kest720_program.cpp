// The kest720 program's own lifetime on a bus daemon that the test runs and
// can take away: the start-up grace, a taken name, and a bus that goes.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

namespace
{

class PrivateBus : public ::testing::Test
{
protected:
    void SetUp() override
    {
        daemon.start(QStringLiteral("dbus-daemon"),
                     {QStringLiteral("--session"), QStringLiteral("--nofork"),
                      QStringLiteral("--print-address=1")});
        ASSERT_TRUE(daemon.waitForStarted());
        while (!daemon.canReadLine())
            ASSERT_TRUE(daemon.waitForReadyRead(30000));
        address = QString::fromUtf8(daemon.readLine()).trimmed();
        ASSERT_FALSE(address.isEmpty());
    }
    void TearDown() override
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("private"));
        for (QProcess *p : {&server, &daemon}) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished();
            }
        }
    }
    void startServer(QProcess &p, const QStringList &args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(KEST720_SERVER), args);
        ASSERT_TRUE(p.waitForStarted());
    }
    // True once the name has an owner on the private bus (bounded wait).
    bool nameOwned()
    {
        QDBusConnection c = QDBusConnection::connectToBus(address, QStringLiteral("private"));
        for (int i = 0; i < 600; ++i) {
            if (c.interface()->isServiceRegistered(QStringLiteral("Norvale720.kest720")).value())
                return true;
            QThread::msleep(50);
        }
        return false;
    }

    QProcess daemon;
    QProcess server;
    QString address;
};

} // namespace

TEST_F(PrivateBus, LeavesWhenNobodyCreatesAnObject)
{
    startServer(server, {QStringLiteral("--grace"), QStringLiteral("100")});
    ASSERT_TRUE(server.waitForFinished(60000));
    EXPECT_EQ(server.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(server.exitCode(), 0);
}

TEST_F(PrivateBus, LeavesWhenTheBusGoesAway)
{
    startServer(server, {QStringLiteral("--grace"), QStringLiteral("600000")});
    ASSERT_TRUE(nameOwned());
    QDBusConnection::disconnectFromBus(QStringLiteral("private"));
    daemon.kill();
    daemon.waitForFinished();
    ASSERT_TRUE(server.waitForFinished(60000));
    EXPECT_EQ(server.exitStatus(), QProcess::NormalExit);
}

TEST_F(PrivateBus, RefusesAGraceThatIsNotANumber)
{
    startServer(server, {QStringLiteral("--grace"), QStringLiteral("soon")});
    ASSERT_TRUE(server.waitForFinished(60000));
    EXPECT_EQ(server.exitCode(), 2);
}
