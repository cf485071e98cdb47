// Renders the Assistant's dialogs to PNG files, connected to a simulated
// meter and not connected, so that a person can check their look. Runs on
// a session bus of its own (the instrument server is started by the bus).
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
#include <QDir>
#include <QElapsedTimer>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

using namespace norvale::assistant;

namespace
{

void report(const QString &text)
{
    QTextStream(stderr) << "kest721xl-screenshots: " << text << Qt::endl;
}

// A tick count that runs faster than the real one, so that the measurement's
// phases come within seconds.
class FastClock : public modTimer::ClockSource
{
public:
    FastClock() { m_elapsed.start(); }
    uint32_t tickCount() override { return 1000u + uint32_t(m_elapsed.elapsed() * 30); }
    QDateTime currentDateTime() override { return QDateTime::currentDateTime(); }
    void sleep(int milliseconds) override { QThread::msleep(milliseconds); }

private:
    QElapsedTimer m_elapsed;
};

bool waitFor(const std::function<bool()> &cond, int limitMs = 60000)
{
    return testsupport::waitFor(cond, limitMs);
}

class Shooter
{
public:
    explicit Shooter(QDir dir) : m_dir(std::move(dir)) {}
    void operator()(QWidget *w, const QString &name)
    {
        if (!w) {
            report(QStringLiteral("no window for %1").arg(name));
            m_ok = false;
            return;
        }
        w->adjustSize();
        QCoreApplication::processEvents();
        const QString file = m_dir.filePath(name + QStringLiteral(".png"));
        if (!w->grab().save(file)) {
            report(QStringLiteral("could not write %1").arg(file));
            m_ok = false;
        }
    }
    bool ok() const { return m_ok; }

private:
    QDir m_dir;
    bool m_ok = true;
};

void showTab(QWidget *form, int index)
{
    if (auto *tabs = form->findChild<QTabWidget *>())
        tabs->setCurrentIndex(index);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The Assistant saves its settings: into a store of this run, not the user's.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kest721xl-screenshots"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Renders the 721 Assistant's dialogs as PNG files. Needs a session bus that can "
        "start the kest720 server (scripts/screenshots provides one)."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("folder"), QStringLiteral("Where to write."));
    parser.process(app);
    const QStringList args = parser.positionalArguments();
    const QDir dir(args.isEmpty() ? QStringLiteral("screenshots") : args.first());
    if (!QDir().mkpath(dir.path())) {
        report(QStringLiteral("could not create %1").arg(dir.path()));
        return 1;
    }
    Shooter shoot(dir);

    // The simulated meter on port 3 of a private ports folder, which the
    // instrument server learns from the bus's activation environment.
    norvale::control::registerTypes();
    QTemporaryDir ports;
    qDBusRegisterMetaType<QMap<QString, QString>>();
    QDBusMessage m = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("UpdateActivationEnvironment"));
    m << QVariant::fromValue(
        QMap<QString, QString>{{QStringLiteral("NORVALE_PORTS"), ports.path()}});
    if (QDBusConnection::sessionBus().call(m).type() == QDBusMessage::ErrorMessage) {
        report(QStringLiteral("no session bus to start the instrument server on"));
        return 1;
    }
    qputenv("NORVALE_PORTS", ports.path().toLocal8Bit());
    norvale::simulator::Options o;
    o.portNumber = 3;
    o.portsFolder = ports.path();
    o.charMicros = 50;
    norvale::simulator::Meter meter(o);
    QString why;
    if (!meter.start(&why)) {
        report(why);
        return 1;
    }
    meter.setDoseRate(250000);

    PromptBoard prompts(false);
    QObject::connect(&prompts, &PromptBoard::shown, &prompts,
                     [&prompts](quint32 id, const QString &title, const QString &text) {
                         report(QStringLiteral("box: %1: %2").arg(title, text));
                         QTimer::singleShot(0, &prompts, [&prompts, id, title] {
                             prompts.answer(id, title == QLatin1String("Disconnect") ? buttonNo
                                                                                     : buttonOK);
                         });
                     });
    kest721Assistant::Services s;
    s.makeInstrument = [] {
        return std::make_unique<norvale::control::kest720Proxy>(QDBusConnection::sessionBus(),
                                                                nullptr, QDBus::BlockWithGui);
    };
    s.prompts = &prompts;
    DesktopWindows windows;
    s.windows = &windows;
    kest721Assistant assistant(s);
    modMain::ComPort = 3;

    // Not connected.
    assistant.ShowOptions();
    shoot(norvale::assistant::options(), QStringLiteral("options-general-disconnected"));
    showTab(norvale::assistant::options(), 1);
    shoot(norvale::assistant::options(), QStringLiteral("options-721-disconnected"));
    showTab(norvale::assistant::options(), 2);
    shoot(norvale::assistant::options(), QStringLiteral("options-publishing"));
    assistant.ShowAbout();
    shoot(norvale::assistant::about(), QStringLiteral("about-disconnected"));

    // Connected (Connect unloads the dialogs first).
    assistant.Connect();
    if (!assistant.Initialized()) {
        report(QStringLiteral("the simulated meter did not connect"));
        return 1;
    }
    assistant.Control().setAlarmPercent(50);
    assistant.Control().setAlarmRange(2);
    assistant.ShowOptions();
    shoot(norvale::assistant::options(), QStringLiteral("options-general-connected"));
    showTab(norvale::assistant::options(), 1);
    shoot(norvale::assistant::options(), QStringLiteral("options-721-connected"));
    assistant.ShowAbout();
    shoot(norvale::assistant::about(), QStringLiteral("about-connected"));
    assistant.ShowProperties();
    shoot(norvale::assistant::dataLog(), QStringLiteral("datalog"));
    assistant.ShowIntegrate();
    shoot(norvale::assistant::dose(), QStringLiteral("dose-setup"));

    // The measurement, timed and open-ended, on a fast tick count.
    FastClock fast;
    modTimer::setClockSources(&fast, nullptr);
    for (const bool timed : {true, false}) {
        assistant.ShowIntegrate();
        QWidget *setup = norvale::assistant::dose();
        setup->findChild<QCheckBox *>(QStringLiteral("chkTimer"))->setChecked(timed);
        setup->findChild<QAbstractButton *>(QStringLiteral("cmdStart"))->click();
        QPointer<frmDoseProgress> p = norvale::assistant::doseProgress();
        if (!p) {
            report(QStringLiteral("no measurement window"));
            return 1;
        }
        QObject::connect(p, &frmDoseProgress::phaseChanged, p,
                         [&, p, timed](frmDoseProgress::Phase ph) {
                             if (ph == frmDoseProgress::Phase::Querying && !timed)
                                 shoot(p, QStringLiteral("dose-progress-querying"));
                         });
        if (timed) {
            waitFor([&] {
                return !p || (p->phase() == frmDoseProgress::Phase::Waiting &&
                              modTimer::TickSeconds() > 0);
            });
            QThread::msleep(400);
            QCoreApplication::processEvents();
            shoot(p, QStringLiteral("dose-progress-waiting"));
        }
        waitFor([&] { return !p || p->phase() >= frmDoseProgress::Phase::Integrating; });
        QElapsedTimer t;
        t.start();
        waitFor([&] { return !p || t.elapsed() > 700; });
        shoot(p, timed ? QStringLiteral("dose-progress-timed")
                       : QStringLiteral("dose-progress-open-ended"));
        if (p)
            p->findChild<QAbstractButton *>(QStringLiteral("cmdStop"))->click();
        waitFor([&] { return !p || !p->running(); });
    }
    modTimer::setClockSources(nullptr, nullptr);
    assistant.Disconnect();
    return shoot.ok() ? 0 : 1;
}
