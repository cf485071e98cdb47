// The kest720 program through its bus contract, without a meter: activation,
// every member of an object without a port, object lifetime, generic tools and
// the command-line client.
#include "Automation.h"
#include "BusFixture.h"
#include "RemoteObject.h"
#include "kest720Proxy.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

using namespace bustest;
using norvale::AutomationError;
using norvale::vbObjectError;

namespace
{
const int32_t kControl = vbObjectError + 1;
const QString kControlSource = QStringLiteral("721 Control");
const QString I = kest720dbus::interfaceName;

} // namespace

TEST_F(KestBus, TheBusStartsTheProgramByItsNameAndItEndsWithItsLastObject)
{
    EXPECT_FALSE(serverRunning());
    {
        kest720Proxy k;
        EXPECT_TRUE(serverRunning());
        EXPECT_TRUE(k.remote().path().startsWith(QStringLiteral("/kest720/")));
        EXPECT_EQ(k.Port(), 0);
    }
    EXPECT_TRUE(waitFor([] { return !serverRunning(); }));
}

// Every writable property set and every method called on a fresh object whose
// port was never opened: the serial layer's error or the server's own reaches
// the client, the program survives, and the values written read back as written.
TEST_F(KestBus, EveryMemberOfAFreshObjectWithoutAPortGivesAnErrorNotACrash)
{
    kest720Proxy k;
    const QString serialSource = QStringLiteral("721 Serial");
    const QString notInit = QStringLiteral("Not Initialized");
    struct Case {
        const char *legend;
        std::function<void()> call;
        QString source; // empty: no error
        QString description;
    };
    const Case cases[] = {
        {"Port", [&] { k.setPort(32767); }, {}, {}},
        {"Ranges", [&] { k.setRanges(::Ranges()); }, {}, {}},
        {"AutoScaleEnable", [&] { k.setAutoScaleEnable(true); }, {}, {}},
        {"AutoScale", [&] { k.setAutoScale(static_cast<TYPE_PREFIX>(INT32_MIN)); }, {}, {}},
        {"CurrentScale", [&] { k.setCurrentScale(QStringLiteral("50 mR/h")); }, {}, {}},
        {"Initialized", [&] { k.setInitialized(true); }, {}, {}},
        {"ClosePort", [&] { k.ClosePort(); }, {}, {}},
        {"Initialize", [&] { k.Initialize(); }, serialSource, {}},
        {"StartLog", [&] { k.StartLog(); }, serialSource, {}},
        {"StopLog", [&] { k.StopLog(); }, serialSource, {}},
        {"StartIntegrate", [&] { k.StartIntegrate(); }, serialSource, {}},
        {"ClearLog", [&] { k.ClearLog(); }, serialSource, {}},
        {"AlarmRange", [&] { k.setAlarmRange(2); }, serialSource, {}},
        {"AlarmPercent", [&] { k.setAlarmPercent(20); }, serialSource, {}},
        {"StartLogDownload", [&] { k.StartLogDownload(); }, serialSource, {}},
        {"SampleRate", [&] { k.setSampleRate(30); }, serialSource, {}},
        {"Units", [&] { k.setUnits(unitSv); }, serialSource, {}},
        {"ClearLogSetting",
         [&] { k.setClearLogSetting(clearlogIntegrateReset); },
         serialSource,
         {}},
        {"ModeButton", [&] { k.setModeButton(modebuttonFreeze); }, serialSource, {}},
        {"WriteToEEPROM", [&] { k.WriteToEEPROM(); }, serialSource, {}},
        {"Disconnect", [&] { k.Disconnect(true); }, kControlSource, notInit},
        {"GetDose", [&] { k.GetDose(); }, kControlSource, notInit},
        {"OpenPort on port 0", [&] { k.setPort(0), k.OpenPort(); }, {}, {}},
    };
    for (const Case &c : cases) {
        if (c.source.isEmpty()) {
            EXPECT_NO_THROW(c.call()) << c.legend;
            continue;
        }
        const AutomationError e = errorOf(c.call);
        EXPECT_EQ(e.source(), c.source) << c.legend << ": " << e.description().toStdString();
        EXPECT_EQ(e.number(), c.source == serialSource ? 8018 : kControl) << c.legend;
        if (!c.description.isEmpty()) {
            EXPECT_EQ(e.description(), c.description) << c.legend;
        }
    }
    // The values stored read back unchanged; the AutoScale prefix is the
    // client's own business, whatever its value.
    for (const int32_t prefix : {INT32_MIN, -7, 5, INT32_MAX}) {
        k.setAutoScale(static_cast<TYPE_PREFIX>(prefix));
        EXPECT_EQ(k.AutoScale(), prefix);
    }
    EXPECT_TRUE(k.AutoScaleEnable());
    EXPECT_EQ(k.CurrentScale(), QStringLiteral("50 mR/h"));
    ::Ranges r;
    r.Add(QStringLiteral("mR/h"), 0.5f, 1, QStringLiteral("500 uR/h"));
    k.setRanges(r);
    ASSERT_EQ(k.Ranges().Count(), 1);
    EXPECT_EQ(k.Ranges().Item(1), r.Item(1));
    // ClosePort on a port never opened still forgets the instrument.
    k.setInitialized(true);
    k.ClosePort();
    EXPECT_EQ(k.Ranges().Count(), 0);
    EXPECT_FALSE(k.Initialized());
}

TEST_F(KestBus, ClosePortAndReleaseCloseThePort)
{
    const int master = openPty(3);
    kest720Proxy k;
    k.setPort(3);
    k.OpenPort();
    EXPECT_FALSE(slaveClosed(master));
    k.ClosePort();
    EXPECT_TRUE(slaveClosed(master));
    k.OpenPort();
    EXPECT_FALSE(slaveClosed(master));
    k.Release();
    EXPECT_TRUE(waitFor([&] { return slaveClosed(master); }));
}

// Run as a child process by the test below: holds an object with its port open.
TEST(KestChild, HoldsAnObjectUntilKilled)
{
    const QByteArray port = qgetenv("KEST720_TEST_CHILD_PORT");
    if (port.isEmpty())
        GTEST_SKIP() << "only run as the child of SigkilledClientReleasesItsObject";
    kest720dbus::registerTypes();
    kest720Proxy k;
    k.setPort(static_cast<int16_t>(port.toInt()));
    k.OpenPort();
    fputs("\nready\n", stdout);
    fflush(stdout);
    QThread::sleep(600);
}

TEST_F(KestBus, AClientKilledWithSigkillReleasesItsObjectAndTheProgramExits)
{
    const int master = openPty(5);
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KEST720_TEST_CHILD_PORT"), QStringLiteral("5"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=KestChild.HoldsAnObjectUntilKilled")});
    ASSERT_TRUE(waitFor([&] {
        child.waitForReadyRead(50);
        return child.peek(1 << 16).contains("\nready\n");
    }));
    EXPECT_TRUE(serverRunning());
    EXPECT_FALSE(slaveClosed(master));
    child.kill(); // SIGKILL: no Release, no clean disconnect
    child.waitForFinished();
    EXPECT_TRUE(waitFor([&] { return slaveClosed(master); }));
    EXPECT_TRUE(waitFor([] { return !serverRunning(); }));
}

// gdbus, a generic tool, on an object that this test holds: each gdbus call
// is a connection of its own, so it cannot hold an object itself.
TEST_F(KestBus, GdbusReadsAndSetsPropertiesOfAHeldObject)
{
    if (!QFile::exists(QStringLiteral("/usr/bin/gdbus")))
        GTEST_SKIP() << "gdbus (libglib2.0-bin) is not installed";
    kest720Proxy k;
    auto gdbus = [&](const QStringList &args, int *exitCode) {
        QProcess p;
        p.start(QStringLiteral("/usr/bin/gdbus"),
                QStringList{QStringLiteral("call"), QStringLiteral("--session"),
                            QStringLiteral("--dest"), kest720dbus::serviceName,
                            QStringLiteral("--object-path"), k.remote().path(),
                            QStringLiteral("--method")} +
                    args);
        EXPECT_TRUE(p.waitForFinished(60000));
        *exitCode = p.exitCode();
        return QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
    };
    int code = -1;
    QString out = gdbus({QStringLiteral("org.freedesktop.DBus.Properties.Set"), I,
                         QStringLiteral("Port"), QStringLiteral("<int16 7>")},
                        &code);
    EXPECT_EQ(code, 0) << out.toStdString();
    EXPECT_EQ(k.Port(), 7);
    out = gdbus({QStringLiteral("org.freedesktop.DBus.Properties.Get"), I, QStringLiteral("Port")},
                &code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out.trimmed(), QStringLiteral("(<int16 7>,)"));
    out = gdbus({QStringLiteral("org.freedesktop.DBus.Properties.Get"), I, QStringLiteral("Model")},
                &code);
    EXPECT_NE(code, 0);
    EXPECT_TRUE(out.contains(
        QStringLiteral("Norvale.Automation.Error: -2147221503\n721 Control\nNot Initialized")))
        << out.toStdString();
}

TEST_F(KestBus, TheCommandLineClientExplainsItselfAndReportsErrors)
{
    struct Case {
        const char *legend;
        QStringList args;
        int exitCode;
        QString inOutput; // expected in standard output or standard error
    };
    const Case cases[] = {
        {"help", {"--help"}, 0, "stream SECONDS"},
        {"no port", {"info"}, 2, "--port"},
        {"port zero", {"--port", "0", "info"}, 2, "--port"},
        {"port not a number", {"--port", "x", "info"}, 2, "--port"},
        {"unknown command", {"--port", "1", "explode"}, 2, "unknown command 'explode'"},
        {"stream without seconds", {"--port", "1", "stream"}, 2, "stream needs SECONDS"},
        {"negative seconds", {"--port", "1", "dose", "-1"}, 2, "SECONDS must be"},
        {"set without a value", {"--port", "1", "set", "AlarmRange"}, 2, "set needs NAME"},
        {"no such port", {"--port", "99", "info"}, 1, "error 8018 (721 Serial): "},
    };
    for (const Case &c : cases) {
        QProcess p;
        p.start(QStringLiteral(KEST720_CLI), c.args);
        ASSERT_TRUE(p.waitForFinished(120000)) << c.legend;
        const QString all = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
        EXPECT_EQ(p.exitCode(), c.exitCode) << c.legend << ": " << all.toStdString();
        EXPECT_TRUE(all.contains(c.inOutput)) << c.legend << ": " << all.toStdString();
    }
}

// `cmake --install` places the programs and a .service file that names the
// installed program, and a session bus that reads that folder starts it.
TEST(KestInstall, TheInstalledServiceFileStartsTheInstalledProgram)
{
    QTemporaryDir prefix;
    QProcess install;
    install.start(QStringLiteral(KEST720_CMAKE),
                  {QStringLiteral("--install"), QStringLiteral(KEST720_BUILD_DIR),
                   QStringLiteral("--prefix"), prefix.path()});
    ASSERT_TRUE(install.waitForFinished(120000));
    ASSERT_EQ(install.exitCode(), 0) << install.readAllStandardError().toStdString();

    const QString bin = prefix.filePath(QStringLiteral("bin/kest720"));
    EXPECT_TRUE(QFileInfo(bin).isExecutable());
    EXPECT_TRUE(QFileInfo(prefix.filePath(QStringLiteral("bin/kest720-cli"))).isExecutable());
    QFile service(
        prefix.filePath(QStringLiteral("share/dbus-1/services/Norvale720.kest720.service")));
    ASSERT_TRUE(service.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(service.readAll()).split(u'\n', Qt::SkipEmptyParts);
    EXPECT_EQ(lines, QStringList({"[D-BUS Service]", "Name=Norvale720.kest720",
                                  QStringLiteral("Exec=") + bin}));
    EXPECT_TRUE(QFile::exists(
        prefix.filePath(QStringLiteral("share/dbus-1/interfaces/Norvale720._kest720.xml"))));

    // A bus of its own that knows only the installed tree: the installed
    // client reaches the installed server (which finds no port 99).
    QProcess run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_DIRS"), prefix.filePath(QStringLiteral("share")));
    run.setProcessEnvironment(env);
    run.start(QStringLiteral("dbus-run-session"),
              {QStringLiteral("--"), prefix.filePath(QStringLiteral("bin/kest720-cli")),
               QStringLiteral("--port"), QStringLiteral("99"), QStringLiteral("info")});
    ASSERT_TRUE(run.waitForFinished(120000));
    const QString err = QString::fromUtf8(run.readAllStandardError());
    EXPECT_EQ(run.exitCode(), 1) << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("error 8018 (721 Serial): "))) << err.toStdString();
}
