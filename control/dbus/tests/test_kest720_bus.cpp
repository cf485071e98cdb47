// The kest720 program through its bus contract, without a simulated meter:
// activation, the type library, every error a client can provoke before a
// meter answers, bad input, object lifetime, and a stream from a meter played
// by hand on a pseudo-terminal.
#include "Automation.h"
#include "BusFixture.h"
#include "HandMeter.h"
#include "RemoteObject.h"
#include "TypeLibrary.h"
#include "kest720Proxy.h"

#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

using namespace bustest;
using norvale::AutomationError;
using norvale::vbObjectError;
namespace error = norvale::automation::error;

namespace
{
const int32_t kControl = vbObjectError + 1;
const QString kControlSource = QStringLiteral("721 Control");
const QString kServerSource = kest720dbus::serviceName;
const QString I = kest720dbus::interfaceName;

// A raw call from a client that knows only the contract.
QDBusMessage rawCall(const norvale::automation::RemoteObject &o, const QString &iface,
                     const QString &member, const QVariantList &args)
{
    QDBusMessage m = QDBusMessage::createMethodCall(o.service(), o.path(), iface, member);
    m.setArguments(args);
    return o.connection().call(m, QDBus::Block, 120000);
}
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

TEST_F(KestBus, TheTypeLibraryListsTheMembersInSlotOrder)
{
    kest720Proxy k;
    const QDBusMessage reply =
        rawCall(k.remote(), QStringLiteral("org.freedesktop.DBus.Introspectable"),
                QStringLiteral("Introspect"), {});
    const auto lib = norvale::automation::parseTypeLibrary(reply.arguments().value(0).toString());
    const auto *main = lib.interface(I);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->memberOrder,
              QStringList({"Ranges",           "Initialized", "OpenPort",        "ClosePort",
                           "Initialize",       "Port",        "StartLog",        "StopLog",
                           "StartIntegrate",   "ClearLog",    "AlarmRange",      "AlarmPercent",
                           "StartLogDownload", "SampleRate",  "Units",           "Model",
                           "ClearLogSetting",  "ModeButton",  "WriteToEEPROM",   "SerialNumber",
                           "Disconnect",       "GetDose",     "AutoScaleEnable", "AutoScale",
                           "CurrentScale"}));
    struct Prop {
        const char *name;
        const char *type;
        bool writable;
    };
    const Prop props[] = {
        {"Ranges", "a(snds)", true}, {"Initialized", "b", true},   {"Port", "n", true},
        {"AlarmRange", "n", true},   {"AlarmPercent", "n", true},  {"SampleRate", "n", true},
        {"Units", "i", true},        {"Model", "i", false},        {"ClearLogSetting", "i", true},
        {"ModeButton", "i", true},   {"SerialNumber", "s", false}, {"AutoScaleEnable", "b", true},
        {"AutoScale", "i", true},    {"CurrentScale", "s", true}};
    for (const Prop &p : props) {
        const auto *info = main->property(QString::fromLatin1(p.name));
        ASSERT_NE(info, nullptr) << p.name;
        EXPECT_EQ(info->type, QString::fromLatin1(p.type)) << p.name;
        EXPECT_TRUE(info->readable) << p.name;
        EXPECT_EQ(info->writable, p.writable) << p.name;
    }
    EXPECT_EQ(main->method(QStringLiteral("Disconnect"))->inSignature, QStringLiteral("b"));
    EXPECT_EQ(main->method(QStringLiteral("GetDose"))->outSignature, QStringLiteral("d"));
    const auto *events = lib.interface(kest720dbus::eventInterfaceName);
    ASSERT_NE(events, nullptr);
    EXPECT_EQ(events->memberOrder, QStringList({"LiveData", "LiveDataError", "DataDownload",
                                                "DataDownloadComplete", "DataDownloadError"}));
    EXPECT_EQ(events->signal(QStringLiteral("LiveData"))->signature, QStringLiteral("(diis)"));
    EXPECT_EQ(events->signal(QStringLiteral("DataDownload"))->signature, QStringLiteral("d(diis)"));
}

TEST_F(KestBus, ErrorsBeforeAMeterAnswersArriveWithNumberSourceAndDescription)
{
    kest720Proxy k;
    struct Case {
        const char *legend;
        std::function<void()> call;
        int32_t number;
        QString source;
        QString description;
    };
    const QString notInit = QStringLiteral("Not Initialized");
    const Case cases[] = {
        {"Model before Initialize", [&] { k.Model(); }, kControl, kControlSource, notInit},
        {"SerialNumber before Initialize", [&] { k.SerialNumber(); }, kControl, kControlSource,
         notInit},
        {"AlarmRange before Initialize", [&] { k.AlarmRange(); }, kControl, kControlSource,
         notInit},
        {"AlarmPercent before Initialize", [&] { k.AlarmPercent(); }, kControl, kControlSource,
         notInit},
        {"SampleRate before Initialize", [&] { k.SampleRate(); }, kControl, kControlSource,
         notInit},
        {"Units before Initialize", [&] { k.Units(); }, kControl, kControlSource, notInit},
        {"ClearLogSetting before Initialize", [&] { k.ClearLogSetting(); }, kControl,
         kControlSource, notInit},
        {"ModeButton before Initialize", [&] { k.ModeButton(); }, kControl, kControlSource,
         notInit},
        {"Disconnect before Initialize", [&] { k.Disconnect(true); }, kControl, kControlSource,
         notInit},
        {"GetDose before Initialize", [&] { k.GetDose(); }, kControl, kControlSource, notInit},
        {"Initialize without OpenPort", [&] { k.Initialize(); }, kControl, kControlSource,
         QStringLiteral("Communications port is not open.")},
        {"AlarmRange 9", [&] { k.setAlarmRange(9); }, kControl, kControlSource,
         QStringLiteral("Bad Alarm scale settings")},
        {"AlarmRange 0", [&] { k.setAlarmRange(0); }, kControl, kControlSource,
         QStringLiteral("Bad Alarm scale settings")},
        {"AlarmPercent 100", [&] { k.setAlarmPercent(100); }, kControl, kControlSource,
         QStringLiteral("Bad Alarm percentage settings")},
        {"AlarmPercent -1", [&] { k.setAlarmPercent(-1); }, kControl, kControlSource,
         QStringLiteral("Bad Alarm percentage settings")},
        {"SampleRate 0", [&] { k.setSampleRate(0); }, kControl, kControlSource,
         QStringLiteral("Invalid sample rate value.")},
        {"SampleRate 256", [&] { k.setSampleRate(256); }, kControl, kControlSource,
         QStringLiteral("Invalid sample rate value.")},
        {"Units 7", [&] { k.setUnits(static_cast<TYPE_UNITS>(7)); }, kControl, kControlSource,
         QStringLiteral("Invalid units value.")},
        {"ClearLogSetting 5", [&] { k.setClearLogSetting(static_cast<TYPE_CLEARLOG>(5)); },
         kControl, kControlSource, QStringLiteral("Invalid clear log setting.")},
        {"ModeButton 9", [&] { k.setModeButton(static_cast<TYPE_MODEBUTTON>(9)); }, kControl,
         kControlSource, QStringLiteral("Invalid mode button setting.")},
        // Without an open port the meter cannot be reached at all.
        {"ModeButton without a port", [&] { k.setModeButton(modebuttonFreeze); }, kControl,
         kControlSource, QStringLiteral("Unable to set mode button.")},
        {"ClearLogSetting without a port", [&] { k.setClearLogSetting(clearlogTurnOnOnly); },
         kControl, kControlSource, QStringLiteral("Unable to start command mode")},
        {"StartLogDownload without a port", [&] { k.StartLogDownload(); }, kControl, kControlSource,
         QStringLiteral("Unable to start command mode")},
        {"WriteToEEPROM without a port", [&] { k.WriteToEEPROM(); }, kControl, kControlSource,
         QStringLiteral("Unable to start command mode.")},
        {"StartLog without a port", [&] { k.StartLog(); }, kControl, kControlSource,
         QStringLiteral("Unable to start command mode.")},
        {"StopLog without a port", [&] { k.StopLog(); }, kControl, kControlSource,
         QStringLiteral("Unable to start command mode.")},
        {"StartIntegrate without a port", [&] { k.StartIntegrate(); }, kControl, kControlSource,
         QStringLiteral("Unable to start command mode.")},
        {"ClearLog without a port", [&] { k.ClearLog(); }, kControl, kControlSource,
         QStringLiteral("Unable to start command mode.")},
        {"AutoScale beyond the prefixes", [&] { k.setAutoScale(static_cast<TYPE_PREFIX>(5)); }, 5,
         kServerSource, QStringLiteral("Invalid procedure call or argument")},
    };
    for (const Case &c : cases) {
        const AutomationError e = errorOf(c.call);
        EXPECT_EQ(e.number(), c.number) << c.legend;
        EXPECT_EQ(e.source(), c.source) << c.legend;
        EXPECT_EQ(e.description(), c.description) << c.legend;
    }

    // A port that does not exist: OpenPort reports nothing, Initialize gets
    // the serial layer's own error.
    k.setPort(99);
    EXPECT_NO_THROW(k.OpenPort());
    const AutomationError e = errorOf([&] { k.Initialize(); });
    EXPECT_EQ(e.number(), 8018);
    EXPECT_EQ(e.source(), QStringLiteral("721 Serial"));
    EXPECT_FALSE(e.description().isEmpty());
}

TEST_F(KestBus, BadInputGivesAnErrorAndNothingElse)
{
    kest720Proxy k;
    const auto &o = k.remote();
    const QString P = norvale::automation::propertiesInterface;
    auto variant = [](const QVariant &v) { return QVariant::fromValue(QDBusVariant(v)); };
    struct Case {
        const char *legend;
        QString iface;
        QString member;
        QVariantList args;
        int32_t number;
    };
    const Case cases[] = {
        {"Port as a 32-bit integer",
         P,
         QStringLiteral("Set"),
         {I, "Port", variant(3)},
         error::typeMismatch},
        {"Port as text",
         P,
         QStringLiteral("Set"),
         {I, "Port", variant(QStringLiteral("3"))},
         error::typeMismatch},
        {"Ranges as a list of text",
         P,
         QStringLiteral("Set"),
         {I, "Ranges", variant(QStringList{"a"})},
         error::typeMismatch},
        {"unknown property",
         P,
         QStringLiteral("Set"),
         {I, "Colour", variant(1)},
         error::notSupported},
        {"unknown property read", P, QStringLiteral("Get"), {I, "Colour"}, error::notSupported},
        {"read-only Model", P, QStringLiteral("Set"), {I, "Model", variant(1)}, error::readOnly},
        {"read-only SerialNumber",
         P,
         QStringLiteral("Set"),
         {I, "SerialNumber", variant(QStringLiteral("1"))},
         error::readOnly},
        {"Set without a variant", P, QStringLiteral("Set"), {I, "Port", 3}, error::typeMismatch},
        {"Disconnect with text",
         I,
         QStringLiteral("Disconnect"),
         {QStringLiteral("yes")},
         error::typeMismatch},
        {"Disconnect without Save", I, QStringLiteral("Disconnect"), {}, error::wrongArguments},
        {"OpenPort with an argument", I, QStringLiteral("OpenPort"), {1}, error::wrongArguments},
        {"unknown method", I, QStringLiteral("Explode"), {}, error::notSupported},
        {"an event called as a method",
         kest720dbus::eventInterfaceName,
         QStringLiteral("LiveData"),
         {},
         error::notSupported},
    };
    for (const Case &c : cases) {
        const QDBusMessage reply = rawCall(o, c.iface, c.member, c.args);
        ASSERT_EQ(reply.type(), QDBusMessage::ErrorMessage) << c.legend;
        EXPECT_EQ(reply.errorName(), norvale::automation::errorName) << c.legend;
        const AutomationError e =
            norvale::automation::fromDBusError(reply.errorName(), reply.errorMessage());
        EXPECT_EQ(e.number(), c.number) << c.legend;
        EXPECT_EQ(e.source(), kServerSource) << c.legend;
    }
    // Nothing changed and nothing broke.
    EXPECT_EQ(k.Port(), 0);
    k.setPort(4);
    EXPECT_EQ(k.Port(), 4);
}

TEST_F(KestBus, ValuesRoundTripThroughTheProperties)
{
    kest720Proxy k;
    ::Ranges r;
    r.Add(QStringLiteral("mR/h"), 0.5f, 1, QStringLiteral("500 uR/h"));
    r.Add(QStringLiteral("No Blink"), 0, 6, QStringLiteral("No Blink"));
    k.setRanges(r);
    const ::Ranges back = k.Ranges();
    ASSERT_EQ(back.Count(), 2);
    EXPECT_EQ(back.Item(1), r.Item(1));
    EXPECT_EQ(back.Item(2), r.Item(2));
    k.setAutoScaleEnable(true);
    k.setAutoScale(prefixMilli);
    k.setCurrentScale(QStringLiteral("50 mR/h"));
    k.setInitialized(false);
    k.setPort(32767);
    EXPECT_TRUE(k.AutoScaleEnable());
    EXPECT_EQ(k.AutoScale(), prefixMilli);
    EXPECT_EQ(k.CurrentScale(), QStringLiteral("50 mR/h"));
    EXPECT_FALSE(k.Initialized());
    EXPECT_EQ(k.Port(), 32767);
}

TEST_F(KestBus, TwoClientsHaveObjectsOfTheirOwn)
{
    QDBusConnection second =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("second"));
    {
        kest720Proxy a;
        kest720Proxy b(second);
        EXPECT_NE(a.remote().path(), b.remote().path());
        EXPECT_EQ(a.remote().service(), b.remote().service()); // one server process
        a.setPort(1);
        b.setPort(2);
        EXPECT_EQ(a.Port(), 1);
        EXPECT_EQ(b.Port(), 2);
        a.Release();
        EXPECT_EQ(errorOf([&] { a.Port(); }).number(), error::serverGone);
        EXPECT_EQ(b.Port(), 2);
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("second"));
}

TEST_F(KestBus, ReleaseClosesThePort)
{
    const int master = openPty(3);
    kest720Proxy k;
    k.setPort(3);
    k.OpenPort();
    EXPECT_FALSE(slaveClosed(master));
    k.Release();
    EXPECT_TRUE(waitFor([&] { return slaveClosed(master); }));
}

TEST_F(KestBus, ClosePortClosesThePortAndKeepsTheObject)
{
    const int master = openPty(3);
    kest720Proxy k;
    k.setPort(3);
    k.OpenPort();
    EXPECT_FALSE(slaveClosed(master));
    k.ClosePort();
    EXPECT_TRUE(slaveClosed(master));
    EXPECT_EQ(k.Port(), 3);
}

TEST_F(KestBus, LiveDataReachesTheClientAndStopLogDuringTheStreamEndsIt)
{
    const int master = openPty(2);
    HandMeter meter(master);
    kest720Proxy k;
    k.setPort(2);
    k.OpenPort();
    QList<Measurement> got;
    bool stopped = false;
    QObject::connect(&k, &kest720Proxy::LiveData, [&](const Measurement &m) {
        got << m;
        // The client stops from its handler: the call arrives while the
        // server's stream loop is running.
        if (got.size() == 3 && !stopped) {
            k.StopLog();
            stopped = true;
        }
    });
    bool error = false;
    QObject::connect(&k, &kest720Proxy::LiveDataError, [&] { error = true; });
    k.StartLog();
    ASSERT_TRUE(waitFor([&] { return stopped; }));
    // The stream is ended with a burst of blanks.
    auto blanksAfterT = [&] {
        const QByteArray in = meter.received();
        return in.mid(in.indexOf('T')).contains(QByteArray(30, ' '));
    };
    ASSERT_TRUE(waitFor(blanksAfterT));
    EXPECT_FALSE(meter.streaming());
    EXPECT_FALSE(error);
    const std::vector<double> sent = meter.sentValues();
    ASSERT_GE(got.size(), 3);
    for (int i = 0; i < got.size(); ++i) {
        EXPECT_DOUBLE_EQ(got.at(i).Value, sent.at(static_cast<size_t>(i)));
        EXPECT_EQ(got.at(i).Prefix, prefixMilli);
        EXPECT_TRUE(got.at(i).UnitString.contains(QStringLiteral("mR/h")));
    }
    EXPECT_TRUE(meter.received().startsWith("CT"));
    // The object is still usable.
    EXPECT_EQ(k.Port(), 2);
}

TEST_F(KestBus, ReleaseDuringAStreamStopsItAndClosesThePort)
{
    const int master = openPty(2);
    HandMeter meter(master);
    QList<double> got;
    {
        kest720Proxy k;
        k.setPort(2);
        k.OpenPort();
        QObject::connect(&k, &kest720Proxy::LiveData,
                         [&](const Measurement &m) { got << m.Value; });
        k.StartLog();
        ASSERT_TRUE(waitFor([&] { return got.size() >= 2; }));
    } // released while the server's stream loop runs
    EXPECT_TRUE(waitFor([&] { return slaveClosed(master); }));
    EXPECT_FALSE(meter.streaming());
    EXPECT_TRUE(waitFor([] { return !serverRunning(); }));
}

TEST_F(KestBus, ReleaseDuringADownloadEndsItAndClosesThePort)
{
    const int master = openPty(2);
    HandMeter meter(master);
    int records = 0;
    {
        kest720Proxy k;
        ::Ranges r;
        r.Add(QStringLiteral("mR/h"), 5, 1, QStringLiteral("5 mR/h"));
        k.setRanges(r);
        k.setPort(2);
        k.OpenPort();
        QObject::connect(&k, &kest720Proxy::DataDownload,
                         [&](float degreesC, const Measurement &m) {
                             EXPECT_FLOAT_EQ(degreesC, 21.5f);
                             EXPECT_DOUBLE_EQ(m.Value, 0.25);
                             ++records;
                         });
        k.StartLogDownload();
        ASSERT_TRUE(waitFor([&] { return records >= 2; }));
    } // released while the server's download loop runs: a log without end
    EXPECT_TRUE(waitFor([&] { return slaveClosed(master); }));
    EXPECT_TRUE(waitFor([] { return !serverRunning(); }));
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

TEST_F(KestBus, CallsToAServerThatHasGoneFailWithABusError)
{
    kest720Proxy k;
    const uint pid =
        QDBusConnection::sessionBus().interface()->servicePid(kest720dbus::serviceName).value();
    ASSERT_GT(pid, 0u);
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
    ASSERT_TRUE(waitFor([] { return !serverRunning(); }));
    const AutomationError e = errorOf([&] { k.setPort(1); });
    EXPECT_EQ(e.number(), error::serverGone);
    EXPECT_EQ(e.source(), error::busSource);
    // A proxy made afterwards gets a fresh server.
    kest720Proxy again;
    EXPECT_EQ(again.Port(), 0);
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

// A client written against the contract alone (Python and the bus's own
// bindings), driving the server as any host would.
TEST_F(KestBus, AClientThatKnowsOnlyTheContractCanStream)
{
    if (!QFile::exists(QStringLiteral(KEST720_PYTHON)))
        GTEST_SKIP() << "no " KEST720_PYTHON;
    QProcess probe;
    probe.start(QStringLiteral(KEST720_PYTHON),
                {QStringLiteral("-c"), QStringLiteral("import dbus, gi")});
    probe.waitForFinished();
    if (probe.exitCode() != 0)
        GTEST_SKIP() << "python3-dbus or python3-gi is not installed";

    const int master = openPty(6);
    HandMeter meter(master);
    QProcess client;
    client.start(QStringLiteral(KEST720_PYTHON), {QStringLiteral(KEST720_CONTRACT_CLIENT),
                                                  QStringLiteral("hand"), QStringLiteral("6")});
    ASSERT_TRUE(client.waitForFinished(120000));
    const QString out = QString::fromUtf8(client.readAllStandardOutput());
    const QStringList lines = out.split(u'\n', Qt::SkipEmptyParts);
    EXPECT_EQ(client.exitCode(), 0)
        << out.toStdString() << client.readAllStandardError().toStdString();
    EXPECT_TRUE(
        lines.contains(QStringLiteral("Model error: -2147221503|721 Control|Not Initialized")))
        << out.toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("Port 6"))) << out.toStdString();
    const std::vector<double> sent = meter.sentValues();
    ASSERT_GE(sent.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        // Unit 0: the unit system is learnt by Initialize, which this meter cannot answer.
        EXPECT_TRUE(lines.contains(QStringLiteral("live %1 0 -3  mR/h").arg(sent[i])))
            << out.toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("stopped")));
    EXPECT_TRUE(
        lines.contains(QStringLiteral("after Release: org.freedesktop.DBus.Error.UnknownObject")));
    EXPECT_TRUE(waitFor([&] { return slaveClosed(master); }));
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
