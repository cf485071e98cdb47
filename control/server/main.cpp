// kest720: the instrument control server. Serves kest720 objects on the
// session bus under the name Norvale720.kest720; normally started by the bus
// on the first call, and gone when its last object has been released.
#include "control/dbus/Kest720DBusTypes.h"
#include "control/server/Kest720Servant.h"
#include "platform/automation/Server.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcMain, "norvale.kest720.server")

using norvale::control::Kest720Servant;
using norvale::control::kest720TypeLibrary;

int main(int argc, char **argv)
{
    // The bus starts the server with the terminal of whoever started the bus
    // as its standard error: only warnings go there unless QT_LOGGING_RULES
    // (which overrides these rules) or NORVALE_TRACE asks for more.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));
    if (qEnvironmentVariableIsSet("NORVALE_TRACE"))
        QLoggingCategory::setFilterRules(QStringLiteral("norvale.*=true"));
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kest720"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(NORVALE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Instrument control server for the 721 survey meter.\n"
        "Serves kest720 objects on the D-Bus session bus under the name Norvale720.kest720.\n"
        "Clients create objects through Norvale.Automation.ClassFactory.CreateInstance at \"/\";\n"
        "the program ends when its last object has been released, or when no object is\n"
        "created within the grace time. The bus starts it on demand."));
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

    norvale::platform::ServerOptions options;
    options.serviceName = norvale::control::serviceName;
    options.className = QStringLiteral("kest720");
    options.errorSource = Kest720Servant::errorSource;
    options.startupGraceMs = *graceMs;

    norvale::platform::Server server(QDBusConnection::sessionBus(), options, kest720TypeLibrary(),
                                     [](norvale::platform::ExportedObject &object) {
                                         return std::make_unique<Kest720Servant>(object, [] {
                                             return std::make_unique<norvale::control::kest720>();
                                         });
                                     });
    QObject::connect(&server, &norvale::platform::Server::finished, &app, &QCoreApplication::quit);
    QString why;
    if (!server.start(&why)) {
        qCCritical(lcMain).noquote() << "cannot serve:" << why;
        return 1;
    }
    return app.exec();
}
