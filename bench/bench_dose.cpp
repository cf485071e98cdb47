// CPU share of the Assistant during an integrated-dose measurement, beside
// the share of a loop that yields to the message queue without sleeping (the
// way such a measurement has classically been written). The Assistant runs in
// this process against the kest720 server and a simulated meter at 1200 baud,
// on the session bus this program is given:
//
//   XDG_DATA_DIRS=build/share:/usr/share dbus-run-session -- build/bench/bench_dose [--seconds N]
#include "assistant/dialogs/DesktopWindows.h"
#include "assistant/dialogs/Dialogs.h"
#include "control/dbus/Kest720DBusTypes.h"
#include "simulator/Meter.h"
#include "assistant/dialogs/Prompts.h"
#include "cmake/TestWait.h"
#include "assistant/dialogs/frmAbout.h"
#include "assistant/dialogs/frmDataLog.h"
#include "assistant/dialogs/frmDose.h"
#include "assistant/dialogs/frmDoseProgress.h"
#include "assistant/dialogs/frmOptions.h"
#include "control/dbus/kest720Proxy.h"
#include "assistant/kest721Assistant.h"
#include "assistant/modMain.h"
#include "assistant/modTimer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QCommandLineParser>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <limits>
#include <sys/resource.h>

using namespace norvale::assistant;

namespace
{

QTextStream out(stdout);

// CPU time of the calling thread: the Assistant's one thread, without the
// simulated meter's thread that shares this process.
double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void spin(const std::function<bool()> &until)
{
    testsupport::waitFor(until, std::numeric_limits<int>::max());
}

// Share of one core over a stretch of wall time, and CPU seconds per minute.
void print(const char *what, double cpu, double wall)
{
    out << qSetFieldWidth(44) << Qt::left << what << qSetFieldWidth(0)
        << QString::number(100.0 * cpu / wall, 'f', 3) << " % of a core, "
        << QString::number(60.0 * cpu / wall, 'f', 3) << " CPU s per minute (" << wall
        << " s measured)" << Qt::endl;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "CPU share of an integrated-dose measurement of the Assistant, beside a loop that "
        "yields to the message queue without sleeping."));
    parser.addHelpOption();
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("Seconds of measurement (default 60)."),
                                           QStringLiteral("n"), QStringLiteral("60"));
    parser.addOption(secondsOption);
    parser.process(app);
    const int seconds = qMax(5, parser.value(secondsOption).toInt());

    norvale::control::registerTypes();
    QTemporaryDir ports;
    qDBusRegisterMetaType<QMap<QString, QString>>();
    QDBusMessage m = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("UpdateActivationEnvironment"));
    m << QVariant::fromValue(
        QMap<QString, QString>{{QStringLiteral("NORVALE_PORTS"), ports.path()}});
    if (QDBusConnection::sessionBus().call(m).type() == QDBusMessage::ErrorMessage) {
        QTextStream(stderr) << "bench_dose: needs a session bus that can start kest720\n";
        return 1;
    }
    norvale::simulator::Options o;
    o.portNumber = 3;
    o.portsFolder = ports.path();
    norvale::simulator::Meter meter(o); // the real line rate
    QString why;
    if (!meter.start(&why)) {
        QTextStream(stderr) << "bench_dose: " << why << '\n';
        return 1;
    }
    meter.setDoseRate(1000);

    norvale::assistant::PromptBoard prompts(false);
    QObject::connect(&prompts, &PromptBoard::shown, &prompts,
                     [&prompts](quint32 id, const QString &title) {
                         QTimer::singleShot(0, &prompts, [&prompts, id, title] {
                             prompts.answer(id, title == QLatin1String("Disconnect")
                                                    ? norvale::assistant::buttonNo
                                                    : norvale::assistant::buttonOK);
                         });
                     });
    kest721Assistant::Services s;
    s.makeInstrument = [] {
        return std::make_unique<norvale::control::kest720Proxy>(QDBusConnection::sessionBus(),
                                                                nullptr, QDBus::BlockWithGui);
    };
    s.prompts = &prompts;
    norvale::assistant::DesktopWindows windows;
    s.windows = &windows;
    norvale::assistant::kest721Assistant assistant(s);
    modMain::ComPort = 3;
    assistant.Connect();
    if (!assistant.Initialized()) {
        QTextStream(stderr) << "bench_dose: the simulated meter did not connect\n";
        return 1;
    }

    // The measurement: open-ended, stopped after the wait and `seconds` more.
    assistant.ShowIntegrate();
    QWidget *setup = norvale::assistant::dose();
    setup->findChild<QCheckBox *>(QStringLiteral("chkTimer"))->setChecked(false);
    setup->findChild<QAbstractButton *>(QStringLiteral("cmdStart"))->click();
    QPointer<frmDoseProgress> p = norvale::assistant::doseProgress();
    spin([&] { return !p || p->phase() >= frmDoseProgress::Phase::Waiting; });
    QElapsedTimer wall;
    wall.start();
    double cpu0 = cpuSeconds();
    spin([&] { return !p || p->phase() >= frmDoseProgress::Phase::Integrating; });
    print("the wait (30 s)", cpuSeconds() - cpu0, wall.elapsed() / 1000.0);
    wall.restart();
    cpu0 = cpuSeconds();
    QEventLoop idle;
    QTimer::singleShot(seconds * 1000, &idle, &QEventLoop::quit);
    idle.exec();
    print("the integration, timer-driven", cpuSeconds() - cpu0, wall.elapsed() / 1000.0);
    if (p)
        p->findChild<QAbstractButton *>(QStringLiteral("cmdStop"))->click();
    spin([&] { return !p || !p->running(); });

    // The classic loop: 101 yields to the message queue, then the tick count.
    wall.restart();
    cpu0 = cpuSeconds();
    const int32_t end = modTimer::TickSeconds() + qMin(seconds, 20);
    while (modTimer::TickSeconds() < end) {
        for (int i = 0; i < 101; ++i)
            QCoreApplication::processEvents();
        (void)modTimer::IntervalElapsed();
    }
    print("a loop that only yields (for comparison)", cpuSeconds() - cpu0, wall.elapsed() / 1000.0);
    assistant.Disconnect();
    return 0;
}
