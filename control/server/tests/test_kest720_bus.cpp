// The kest720 program through its bus contract, without a meter: activation,
// every member of an object without a port and object lifetime (the
// command-line client and the installed tree are the tools test's).
#include "control/dbus/kest720Proxy.h"
#include "control/dbus/tests/BusFixture.h"
#include "platform/automation/Automation.h"
#include "platform/automation/RemoteObject.h"

#include <QProcess>
#include <QThread>

using namespace bustest;
using norvale::platform::AutomationError;
using norvale::platform::vbObjectError;

namespace
{
const int32_t kControl = vbObjectError + 1;
const QString kControlSource = QStringLiteral("721 Control");

} // namespace

TEST_F(KestBus, TheBusStartsTheProgramByItsNameAndItEndsWithItsLastObject)
{
    EXPECT_FALSE(serverRunning());
    {
        norvale::control::kest720Proxy k;
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
    norvale::control::kest720Proxy k;
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
        {"Ranges", [&] { k.setRanges(norvale::control::Ranges()); }, {}, {}},
        {"AutoScaleEnable", [&] { k.setAutoScaleEnable(true); }, {}, {}},
        {"AutoScale",
         [&] { k.setAutoScale(static_cast<norvale::control::TYPE_PREFIX>(INT32_MIN)); },
         {},
         {}},
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
        {"Units", [&] { k.setUnits(norvale::control::unitSv); }, serialSource, {}},
        {"ClearLogSetting",
         [&] { k.setClearLogSetting(norvale::control::clearlogIntegrateReset); },
         serialSource,
         {}},
        {"ModeButton",
         [&] { k.setModeButton(norvale::control::modebuttonFreeze); },
         serialSource,
         {}},
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
        k.setAutoScale(static_cast<norvale::control::TYPE_PREFIX>(prefix));
        EXPECT_EQ(k.AutoScale(), prefix);
    }
    EXPECT_TRUE(k.AutoScaleEnable());
    EXPECT_EQ(k.CurrentScale(), QStringLiteral("50 mR/h"));
    norvale::control::Ranges r;
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
    norvale::control::kest720Proxy k;
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
    norvale::control::registerTypes();
    norvale::control::kest720Proxy k;
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
