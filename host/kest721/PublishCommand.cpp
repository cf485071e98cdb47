// kest721 publish: the publishing settings (HKCU\Software\Norvale\721\Publish)
// set, shown, turned off, and tried once against the broker.
#include "host/kest721/PublishCommand.h"

#include "assistant/publish/MqttClient.h"
#include "assistant/publish/PublishSettings.h"
#include "assistant/publish/PublishStatus.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QTextStream>

namespace norvale::host
{

namespace
{
namespace publish = norvale::assistant;

const char publishHelp[] =
    "Usage: kest721 publish set --broker URL [OPTIONS]\n"
    "       kest721 publish show | off\n"
    "       kest721 publish test [OPTIONS] [--timeout S]\n"
    "Publishes every reading the Assistant keeps to an MQTT broker (the Assistant\n"
    "server does it while it runs; settings under HKCU\\Software\\Norvale\\721\\Publish).\n"
    "\n"
    "  set     stores the options given (the others keep their values) and turns\n"
    "          publishing on\n"
    "  show    the settings and where publishing stands (never the password)\n"
    "  off     turns publishing off; readings kept while it is off are not sent later\n"
    "  test    connects once with the stored settings, changed by the options given\n"
    "          (nothing is stored), and says what happened\n"
    "\n"
    "Options:\n"
    "  --broker URL            mqtt://host[:port] (1883) or mqtts://host[:port] (8883);\n"
    "                          never with a user name or password in it\n"
    "  --username U            the user name at the broker\n"
    "  --password-file F       a file whose first line is the password; readable by\n"
    "                          you alone (chmod 600)\n"
    "  --ca-file F             the CA certificate that signed the broker's (mqtts);\n"
    "                          without it the system's trusted authorities\n"
    "  --cert F, --key F       a client certificate and its key (mqtts)\n"
    "  --topic-prefix P        the topics' first levels (default norvale/721)\n"
    "  --client-id ID          the MQTT client identifier (default kest721-HOSTNAME)\n"
    "  --home-assistant yes|no Home Assistant discovery under homeassistant/\n"
    "  --timeout S             test: seconds to wait for the broker (default 5)\n"
    "\n"
    "An empty value (--ca-file '') clears a setting.\n"
    "Exit status: 0 done (test: connected), 1 failed, 2 wrong usage.\n";

struct Usage {
    QString message;
};

QTextStream &out()
{
    static QTextStream s(stdout);
    return s;
}
QTextStream &err()
{
    static QTextStream s(stderr);
    return s;
}

// The options that change settings, applied over `s`.
void applyOptions(const QCommandLineParser &p, norvale::assistant::Settings &s)
{
    auto take = [&](const char *name, QString &field) {
        if (p.isSet(QString::fromLatin1(name)))
            field = p.value(QString::fromLatin1(name)).trimmed();
    };
    take("broker", s.broker);
    take("username", s.username);
    take("password-file", s.passwordFile);
    take("ca-file", s.caFile);
    take("cert", s.certFile);
    take("key", s.keyFile);
    take("topic-prefix", s.topicPrefix);
    take("client-id", s.clientId);
    // Relative names would mean another file to the server.
    for (QString *f : {&s.passwordFile, &s.caFile, &s.certFile, &s.keyFile})
        if (!f->isEmpty())
            *f = QFileInfo(*f).absoluteFilePath();
    if (p.isSet(QStringLiteral("home-assistant"))) {
        const QString v = p.value(QStringLiteral("home-assistant")).toLower();
        if (v != u"yes" && v != u"no")
            throw Usage{QStringLiteral("--home-assistant takes yes or no, not '%1'")
                            .arg(p.value(QStringLiteral("home-assistant")))};
        s.homeAssistant = v == u"yes";
    }
    if (s.topicPrefix.isEmpty())
        s.topicPrefix = QString::fromLatin1(norvale::assistant::DefaultTopicPrefix);
}

void show(const norvale::assistant::Settings &s)
{
    auto line = [](const char *name, const QString &value) {
        out() << name << ": " << (value.isEmpty() ? QStringLiteral("(none)") : value) << '\n';
    };
    line("Publishing", s.enabled ? QStringLiteral("on") : QStringLiteral("off"));
    line("Broker", s.broker);
    line("Topic prefix", s.topicPrefix);
    line("Client id", norvale::assistant::effectiveClientId(s));
    line("User name", s.username);
    line("Password file", s.passwordFile);
    line("CA file", s.caFile);
    line("Client certificate", s.certFile);
    line("Client key", s.keyFile);
    line("Home Assistant discovery",
         s.homeAssistant ? QStringLiteral("yes") : QStringLiteral("no"));
    line("State", norvale::assistant::describe(norvale::assistant::readStatus()));
    const QString problem = s.enabled ? norvale::assistant::check(s) : QString();
    if (!problem.isEmpty())
        line("Problem", problem);
    out().flush();
}
} // namespace

QString publishingStatusLine()
{
    const norvale::assistant::Settings s = norvale::assistant::load();
    if (!s.enabled)
        return QStringLiteral("Publishing: off");
    return QStringLiteral("Publishing: ") +
           norvale::assistant::describe(norvale::assistant::readStatus());
}

int runPublishCommand(const QStringList &arguments)
{
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    p.addOption(help);
    for (const char *name : {"broker", "username", "password-file", "ca-file", "cert", "key",
                             "topic-prefix", "client-id", "home-assistant", "timeout"})
        p.addOption(QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("V")));
    try {
        if (!p.parse(QStringList{QStringLiteral("kest721 publish")} + arguments))
            throw Usage{p.errorText()};
        if (p.isSet(help)) {
            out() << publishHelp;
            return 0;
        }
        const QStringList args = p.positionalArguments();
        if (args.size() != 1)
            throw Usage{args.isEmpty()
                            ? QStringLiteral("publish needs set, show, off or test")
                            : QStringLiteral("unexpected argument '%1'").arg(args.at(1))};
        const QString verb = args.first();
        if (verb != u"set" && verb != u"show" && verb != u"off" && verb != u"test")
            throw Usage{QStringLiteral("unknown publish command '%1'").arg(verb)};
        const bool changes = !p.optionNames().isEmpty();
        if ((verb == u"show" || verb == u"off") && changes)
            throw Usage{QStringLiteral("publish %1 takes no options").arg(verb)};
        if (p.isSet(QStringLiteral("timeout")) && verb != u"test")
            throw Usage{QStringLiteral("--timeout is for publish test")};

        norvale::assistant::Settings s = norvale::assistant::load();
        if (verb == u"show") {
            show(s);
            return 0;
        }
        QString why;
        if (verb == u"off") {
            s.enabled = false;
            if (!norvale::assistant::save(s, &why)) {
                err() << "kest721: " << why << '\n';
                return 1;
            }
            out() << "Publishing is off.\n";
            return 0;
        }
        applyOptions(p, s);
        // A password in the URL is refused before anything is stored or sent.
        if (!norvale::assistant::parseBrokerUrl(s.broker, &why))
            throw Usage{why};
        if (verb == u"set") {
            s.enabled = true;
            if (const QString problem = norvale::assistant::check(s); !problem.isEmpty()) {
                err() << "kest721: " << problem << " Nothing was stored.\n";
                return 1;
            }
            if (!norvale::assistant::save(s, &why)) {
                err() << "kest721: " << why << '\n';
                return 1;
            }
            out() << "Publishing to " << s.broker << " is on; the Assistant server starts "
                  << "publishing within a few seconds ('kest721 publish show' tells how it "
                     "goes).\n";
            return 0;
        }
        int timeoutS = 5;
        if (p.isSet(QStringLiteral("timeout"))) {
            bool ok = false;
            timeoutS = p.value(QStringLiteral("timeout")).toInt(&ok);
            if (!ok || timeoutS < 1 || timeoutS > 120)
                throw Usage{QStringLiteral("--timeout needs seconds from 1 to 120")};
        }
        const norvale::assistant::ProbeResult r = norvale::assistant::probe(s, timeoutS * 1000);
        (r.outcome == norvale::assistant::ProbeOutcome::Connected ? out() : err())
            << r.sentence << '\n';
        return r.outcome == norvale::assistant::ProbeOutcome::Connected ? 0 : 1;
    } catch (const Usage &u) {
        err() << "kest721: " << u.message
              << "\nTry 'kest721 publish --help' for more information.\n";
        return 2;
    }
}

} // namespace norvale::host
