// The kest720 program through its bus contract against simulated meters:
// start-up, settings, two clients on two meters, streaming, the log download,
// the errors that need a meter and a client that knows only the contract.
#include "control/dbus/kest720Proxy.h"
#include "control/dbus/tests/BusFixture.h"
#include "simulator/Meter.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>

using namespace bustest;
using norvale::platform::AutomationError;

namespace
{

class KestSim : public KestBus
{
protected:
    norvale::simulator::Options fast(int port)
    {
        return norvale::simulator::testing::fast(
            ports.path(), port, norvale::simulator::Model::K720, norvale::simulator::Units::R, 100);
    }
    norvale::simulator::Meter &startMeter(const norvale::simulator::Options &o)
    {
        meters.push_back(std::make_unique<norvale::simulator::Meter>(o));
        QString why;
        EXPECT_TRUE(meters.back()->start(&why)) << why.toStdString();
        return *meters.back();
    }
    static void connect(norvale::control::kest720Proxy &k, int port)
    {
        k.setPort(static_cast<int16_t>(port));
        k.OpenPort();
        k.Initialize();
    }
    // Declared after the ports folder: meters go before their links' folder.
    std::vector<std::unique_ptr<norvale::simulator::Meter>> meters;
};

} // namespace

TEST_F(KestSim, TwoClientsDriveTwoMetersThroughOneServer)
{
    startMeter(fast(1));
    startMeter(norvale::simulator::testing::fast(ports.path(), 2, norvale::simulator::Model::M720,
                                                 norvale::simulator::Units::Sv));
    QDBusConnection second =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("second"));
    {
        norvale::control::kest720Proxy a;
        norvale::control::kest720Proxy b(second);
        connect(a, 1);
        connect(b, 2);
        EXPECT_EQ(a.remote().service(), b.remote().service());
        EXPECT_EQ(a.Model(), norvale::control::model720K);
        EXPECT_EQ(b.Model(), norvale::control::model720M);
        EXPECT_EQ(a.Units(), norvale::control::unitR);
        EXPECT_EQ(b.Units(), norvale::control::unitSv);
        a.setAlarmRange(2);
        b.setAlarmRange(4);
        EXPECT_EQ(a.AlarmRange(), 2);
        EXPECT_EQ(b.AlarmRange(), 4);
        const norvale::control::Ranges r = a.Ranges();
        ASSERT_EQ(r.Count(), 6);
        EXPECT_EQ(r.Item(1).Display, QStringLiteral("500 uR/h"));
        EXPECT_EQ(r.Item(6).CommandIndex, 6);
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("second"));
}

// One meter's log download must not hold up another meter's stream in the same
// server: a reading that waits for the download's end is a stale reading to
// the host, which samples the last one it has every second.
TEST_F(KestSim, OneMetersDownloadDoesNotHoldUpAnotherMetersStream)
{
    startMeter(fast(1));
    norvale::simulator::Options o = fast(2);
    o.logRecords = 150;
    startMeter(o);
    norvale::control::kest720Proxy streaming;
    norvale::control::kest720Proxy downloading;
    connect(streaming, 1);
    connect(downloading, 2);
    QElapsedTimer clock;
    clock.start();
    std::vector<qint64> readings;
    int records = 0;
    bool complete = false;
    QObject::connect(
        &streaming, &norvale::control::kest720Proxy::LiveData,
        [&](const norvale::control::Measurement &) { readings.push_back(clock.elapsed()); });
    QObject::connect(&downloading, &norvale::control::kest720Proxy::DataDownload,
                     [&](float, const norvale::control::Measurement &) { ++records; });
    QObject::connect(&downloading, &norvale::control::kest720Proxy::DataDownloadComplete,
                     [&] { complete = true; });
    streaming.StartLog();
    ASSERT_TRUE(waitFor([&] { return readings.size() >= 3; }));
    const qint64 downloadStarted = clock.elapsed();
    downloading.StartLogDownload();
    ASSERT_TRUE(waitFor([&] { return complete; }, 60000));
    const qint64 downloadEnded = clock.elapsed();
    EXPECT_EQ(records, 150);
    streaming.StopLog();
    // The meter reads every 100 ms; the download took seconds.
    ASSERT_GT(downloadEnded - downloadStarted, 2000);
    qint64 longestGap = 0;
    for (size_t i = 1; i < readings.size(); ++i)
        if (readings[i] > downloadStarted && readings[i - 1] < downloadEnded)
            longestGap = std::max(longestGap, readings[i] - readings[i - 1]);
    EXPECT_LT(longestGap, 1500) << "download " << downloadEnded - downloadStarted << " ms";
}

TEST_F(KestSim, ErrorsThatNeedAMeterArriveIntact)
{
    norvale::simulator::Meter &meter = startMeter(fast(1));
    norvale::control::kest720Proxy k;
    k.setPort(1);
    k.OpenPort();
    meter.setSilent(true);
    AutomationError e = errorOf([&] { k.Initialize(); });
    EXPECT_EQ(e.number(), norvale::platform::vbObjectError + 1);
    EXPECT_EQ(e.source(), QStringLiteral("721 Control"));
    EXPECT_EQ(e.description(), QStringLiteral("Unable to start command mode."));

    meter.setSilent(false);
    k.Initialize();
    // The meter falls silent after start-up: each step that needs an answer says which.
    meter.setSilent(true);
    struct Case {
        const char *legend;
        std::function<void()> call;
        QString description;
    };
    const Case cases[] = {
        {"StartIntegrate", [&] { k.StartIntegrate(); },
         QStringLiteral("Unable to start integrate mode.")},
        {"AlarmRange", [&] { k.setAlarmRange(2); },
         QStringLiteral("Unable to set memory location.")},
        {"AlarmPercent", [&] { k.setAlarmPercent(20); },
         QStringLiteral("Unable to set the memory location.")},
        {"SampleRate", [&] { k.setSampleRate(30); },
         QStringLiteral("Unable to set memory location.")},
    };
    for (const Case &c : cases) {
        e = errorOf(c.call);
        EXPECT_EQ(e.number(), norvale::platform::vbObjectError + 1) << c.legend;
        EXPECT_EQ(e.source(), QStringLiteral("721 Control")) << c.legend;
        EXPECT_EQ(e.description(), c.description) << c.legend;
    }
    meter.setSilent(false);
    k.Initialize();
    // The adapter is pulled out: the serial layer's own error reaches the client.
    meter.dropLine();
    e = errorOf([&] { k.Initialize(); });
    EXPECT_EQ(e.source(), QStringLiteral("721 Serial")) << e.description().toStdString();
    EXPECT_EQ(e.number(), 8018);
}

// A client that leaves while a loop of its object runs on the server's stack:
// the loop ends, a stream's meter is back at its prompt, and the server, still whole,
// serves another client's object on. A second StartLog runs a stream loop
// nested in the first, which must not be taken for the end of the stream.
TEST_F(KestSim, ReleaseDuringAStreamOrADownloadEndsItAndTheServerServesOn)
{
    QDBusConnection second =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("second"));
    norvale::control::kest720Proxy other(second);
    other.setPort(9);
    for (const char *legend : {"stream", "nested stream", "download"}) {
        SCOPED_TRACE(legend);
        meters.clear();
        norvale::simulator::Options o = fast(1);
        o.logRecords = 5000; // a download that outlasts the test
        norvale::simulator::Meter &meter = startMeter(o);
        {
            norvale::control::kest720Proxy k;
            connect(k, 1);
            int events = 0;
            QObject::connect(&k, &norvale::control::kest720Proxy::LiveData,
                             [&](const norvale::control::Measurement &) { ++events; });
            QObject::connect(&k, &norvale::control::kest720Proxy::DataDownload,
                             [&](float, const norvale::control::Measurement &) { ++events; });
            if (QString(legend) == "download") {
                k.StartLogDownload();
            } else {
                k.StartLog();
                if (QString(legend) == "nested stream") {
                    ASSERT_TRUE(waitFor([&] { return events >= 1; }));
                    k.StartLog();
                }
            }
            ASSERT_TRUE(waitFor([&] { return events >= 3; }));
        } // released while the loop runs
        // The meter sends its log to the end regardless.
        if (QString(legend) != "download") {
            EXPECT_TRUE(
                waitFor([&] { return meter.state() == norvale::simulator::State::Command; }));
        }
        EXPECT_EQ(other.Port(), 9) << "the server survived";
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("second"));
}

TEST_F(KestSim, AClientThatKnowsOnlyTheContractDoesTheWholeJob)
{
    QProcess probe;
    probe.start(QStringLiteral(KEST720_PYTHON),
                {QStringLiteral("-c"), QStringLiteral("import dbus, gi")});
    probe.waitForFinished();
    if (probe.exitCode() != 0)
        GTEST_SKIP() << "python3-dbus or python3-gi is not installed";
    norvale::simulator::Meter &meter = startMeter(fast(4));
    meter.setLog({{QStringLiteral("23.5"), 0, QStringLiteral("0.12")}});
    meter.setDoseRate(360000);
    QProcess client;
    client.start(QStringLiteral(KEST720_PYTHON),
                 {QStringLiteral(KEST720_CONTRACT_CLIENT), QStringLiteral("4")});
    ASSERT_TRUE(client.waitForFinished(120000));
    const QString out = QString::fromUtf8(client.readAllStandardOutput());
    const QStringList lines = out.split(u'\n', Qt::SkipEmptyParts);
    EXPECT_EQ(client.exitCode(), 0)
        << out.toStdString() << client.readAllStandardError().toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("Model 1"))) << out.toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("SerialNumber 1234"))) << out.toStdString();
    EXPECT_EQ(lines.filter(QRegularExpression(QStringLiteral("^live "))).size(), 3);
    EXPECT_TRUE(lines.contains(QStringLiteral("record 23.5 0.12 1 -6 uR/h"))) << out.toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("DataDownloadComplete")));
    EXPECT_EQ(lines.filter(QRegularExpression(QStringLiteral("^dose \\d"))).size(), 1);
    EXPECT_TRUE(lines.contains(QStringLiteral("released")));
}
