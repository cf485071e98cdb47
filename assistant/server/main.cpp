// kest721xl: the Assistant server. Serves kest721Assistant objects under the
// bus name kest721xl.kest721Assistant and MsgBox objects under
// kest721xl.MsgBox; normally started by the bus on the first call, and gone
// when its last object has been released.
#include "assistant/Journal.h"
#include "assistant/RuntimeError.h"
#include "assistant/Settings.h"
#include "assistant/dbus/Kest721DBusTypes.h"
#include "assistant/dialogs/DesktopAlarmSound.h"
#include "assistant/dialogs/DesktopWindows.h"
#include "assistant/dialogs/Prompts.h"
#include "assistant/kest721Assistant.h"
#include "assistant/publish/Publisher.h"
#include "assistant/server/Servants.h"
#include "platform/registry/RegistryStore.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDBusConnection>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QTimer>
#include <QUrl>
#include <csignal>
#include <cstring>

Q_LOGGING_CATEGORY(lcMain, "norvale.kest721xl.server")

namespace
{
// The help document beside the program (build tree), else in the installed
// data folder.
QString findHelpFile()
{
    const QDir bin(QCoreApplication::applicationDirPath());
    for (const QString &candidate :
         {bin.filePath(QStringLiteral("721Assistant.html")),
          bin.filePath(QStringLiteral("../share/kest721xl/721Assistant.html"))})
        if (QFileInfo::exists(candidate))
            return QFileInfo(candidate).canonicalFilePath();
    return bin.filePath(QStringLiteral("721Assistant.html"));
}

// $NORVALE_HELP_VIEWER, when set, is the program that opens the help
// document instead of the desktop's viewer (a kiosk, a test).
// How many days the journal keeps a run: the stored setting, else the default.
int journalRetentionDays()
{
    namespace platform = norvale::platform;
    namespace settings = norvale::assistant::settings;
    platform::Key key;
    uint32_t type = 0;
    QByteArray data;
    if (platform::openKey(platform::HKEY_CURRENT_USER, QString::fromLatin1(settings::SectionKey),
                          platform::KEY_QUERY_VALUE, key) == platform::ERROR_SUCCESS &&
        platform::readValue(key, QString::fromLatin1(settings::JournalRetentionDays), &type,
                            &data) == platform::ERROR_SUCCESS &&
        type == platform::REG_DWORD && data.size() == 4) {
        int32_t days = 0;
        std::memcpy(&days, data.constData(), 4);
        if (days > 0)
            return days;
    }
    return settings::DefaultJournalRetentionDays;
}

class HelpViewer : public QObject
{
    Q_OBJECT
public:
    explicit HelpViewer(QString program) : m_program(std::move(program)) {}
public slots:
    void open(const QUrl &url) { QProcess::startDetached(m_program, {url.toString()}); }

private:
    QString m_program;
};
} // namespace

int main(int argc, char **argv)
{
    // Started by the bus on a machine without a desktop (an unattended host),
    // the windows live off screen and the boxes are answered over the bus.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // A file-size limit (a quota, a full volume) must fail the journal's write,
    // which the run survives, not end the server with a signal.
    std::signal(SIGXFSZ, SIG_IGN);
    // The bus starts the server with the terminal of whoever started the bus
    // as its standard error: Qt's own notes (font substitutes, what a platform
    // plug-in cannot do) and our diagnostics stay out of it unless
    // NORVALE_TRACE or QT_LOGGING_RULES (which overrides these rules) asks.
    QLoggingCategory::setFilterRules(
        QStringLiteral("*.debug=false\n*.info=false\nqt.*.warning=false\ndefault.warning=false"));
    if (qEnvironmentVariableIsSet("NORVALE_TRACE"))
        QLoggingCategory::setFilterRules(QStringLiteral("norvale.*=true\nqt.*.warning=true\n"
                                                        "default.warning=true"));
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kest721xl"));
    QApplication::setApplicationVersion(QString::fromLatin1(NORVALE_VERSION));
    QApplication::setApplicationDisplayName(QStringLiteral("721 Assistant"));
    // Windows come and go with the objects; the program lives as long as they do.
    QApplication::setQuitOnLastWindowClosed(false);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The 721 Assistant server.\n"
        "Serves kest721Assistant objects under the bus name kest721xl.kest721Assistant and\n"
        "MsgBox objects under kest721xl.MsgBox on the D-Bus session bus. Clients create\n"
        "objects through Norvale.Automation.ClassFactory.CreateInstance at \"/\" of either\n"
        "name; message boxes are announced and answerable at /prompts. The program ends\n"
        "when its last object has been released, or when none is created within the\n"
        "grace time. The bus starts it on demand."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption grace = norvale::platform::graceOption();
    parser.addOption(grace);
    parser.process(app);
    const std::optional<int> graceMs = norvale::platform::graceMs(parser, grace);
    if (!graceMs) {
        qCCritical(lcMain) << "--grace needs a number of milliseconds";
        return 2;
    }

    norvale::assistant::registerTypes();
    // One connection owns one object tree: each served class, with its factory
    // at "/", gets a connection of its own.
    QDBusConnection assistantBus =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("kest721xl"));
    QDBusConnection msgBoxBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                                              QStringLiteral("kest721xl-msgbox"));

    norvale::assistant::PromptBoard prompts;
    norvale::assistant::DesktopAlarmSound sound;
    norvale::assistant::DesktopWindows windows;
    std::unique_ptr<HelpViewer> viewer;
    if (const QString program = qEnvironmentVariable("NORVALE_HELP_VIEWER"); !program.isEmpty()) {
        viewer = std::make_unique<HelpViewer>(program);
        QDesktopServices::setUrlHandler(QStringLiteral("file"), viewer.get(), "open");
    }

    // The journal never stands in a run's way: one that cannot be opened is
    // reported by the first Assistant that tries to write to it.
    norvale::assistant::Journal journal;
    if (!journal.isOpen())
        qCWarning(lcMain).noquote() << "journal:" << journal.lastError();
    else if (!journal.prune(journalRetentionDays(),
                            norvale::assistant::spreadsheetDate(QDateTime::currentDateTime())))
        qCWarning(lcMain).noquote() << "journal:" << journal.lastError();

    // Hands what the journal keeps on to an MQTT broker when the settings say
    // so, on a thread and a journal connection of its own.
    norvale::assistant::Publisher publisher(norvale::assistant::Journal::defaultPath());

    norvale::assistant::AssistantContext context;
    context.journal = &journal;
    context.feed = &publisher;
    context.prompts = &prompts;
    context.sound = &sound;
    context.windows = &windows;
    context.helpFile = findHelpFile();
    context.alarmSnapshot = qEnvironmentVariable("NORVALE_ALARM_SNAPSHOT");

    using norvale::platform::Server;
    using norvale::platform::ServerOptions;
    // The program's own grace time decides when nobody came; the servers
    // themselves wait for ever for their first object.
    constexpr int neverMs = std::numeric_limits<int>::max();
    ServerOptions assistantOptions{norvale::assistant::assistantService,
                                   QStringLiteral("kest721Assistant"),
                                   norvale::assistant::programName(), neverMs};
    ServerOptions msgBoxOptions{norvale::assistant::msgBoxService, QStringLiteral("MsgBox"),
                                norvale::assistant::programName(), neverMs};
    Server assistants(assistantBus, assistantOptions, norvale::assistant::assistantTypeLibrary(),
                      [&context](norvale::platform::ExportedObject &object) {
                          return std::make_unique<norvale::assistant::AssistantServant>(object,
                                                                                        context);
                      });
    Server msgBoxes(msgBoxBus, msgBoxOptions, norvale::assistant::msgBoxTypeLibrary(),
                    [](norvale::platform::ExportedObject &object) {
                        return std::make_unique<norvale::assistant::MsgBoxServant>(object);
                    });
    norvale::assistant::PromptsPublisher promptsObject(assistantBus, prompts);

    QString why;
    const bool assistantsServed = assistants.start(&why);
    if (!assistantsServed)
        qCWarning(lcMain).noquote() << "not serving kest721Assistant:" << why;
    const bool msgBoxesServed = msgBoxes.start(&why);
    if (!msgBoxesServed)
        qCWarning(lcMain).noquote() << "not serving MsgBox:" << why;
    if (!assistantsServed && !msgBoxesServed) {
        qCCritical(lcMain) << "cannot serve either class; leaving";
        return 1;
    }

    // The program ends once neither class has an object left.
    auto quitWhenEmpty = [&] {
        if (assistants.objectCount() == 0 && msgBoxes.objectCount() == 0) {
            prompts.answerDefaults();
            app.quit();
        }
    };
    QObject::connect(&assistants, &Server::finished, &app, quitWhenEmpty);
    QObject::connect(&msgBoxes, &Server::finished, &app, quitWhenEmpty);
    QTimer::singleShot(*graceMs, &app, quitWhenEmpty);
    const int status = app.exec();
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    return status;
}

#include "main.moc"
