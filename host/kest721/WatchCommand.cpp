// kest721 watch: every meter the broker knows, as a table that follows the
// messages, or the messages themselves as JSON lines for scripts.
#include "host/common/StopSignals.h"
#include "host/kest721/PublishCommand.h"

#include "assistant/publish/MqttClient.h"
#include "assistant/publish/PublishSettings.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QTextStream>
#include <csignal>
#include <mosquitto.h>
#include <unistd.h>

namespace norvale::host
{

namespace
{
namespace publish = norvale::assistant;

const char watchHelp[] =
    "Usage: kest721 watch [--broker URL] [--serial N] [--json] [--for S]\n"
    "Shows every 721 meter that publishes to the broker: serial number, state, last\n"
    "value and unit, alarm state and the age of the last reading, updated as the\n"
    "messages arrive, until Ctrl-C.\n"
    "\n"
    "  --broker URL   the broker (default: the publishing settings'); the stored user\n"
    "                 name, password file and certificates are used with it\n"
    "  --serial N     only the meter with serial number N\n"
    "  --json         one line per message: {\"topic\":..., \"serial\":..., \"kind\":...,\n"
    "                 \"message\": the payload}\n"
    "  --for S        leave after S seconds\n"
    "\n"
    "Exit status: 0 done, 1 the broker cannot be reached, 2 wrong usage.\n";

struct Meter {
    QString state;
    QString value;
    QString unit;
    QString alarm;
    QString range;
    qint64 readingUtc = 0; // of the last reading
};

struct Watch {
    QString prefix;
    QString serial;
    bool json = false;
    bool terminal = false;
    QMap<QString, Meter> meters;
    bool changed = false;
    int connack = -1;
    bool lost = false;
    QTextStream out{stdout};
};

void onMessage(mosquitto *, void *p, const mosquitto_message *m)
{
    auto *w = static_cast<Watch *>(p);
    const QString topic = QString::fromUtf8(m->topic);
    // <prefix>/<serial>/<kind>
    const QString rest = topic.mid(w->prefix.size() + 1);
    const QString serial = rest.section(u'/', 0, 0);
    const QString kind = rest.section(u'/', 1);
    if (!w->serial.isEmpty() && serial != w->serial)
        return;
    const QByteArray payload(static_cast<const char *>(m->payload), m->payloadlen);
    const QJsonObject o = QJsonDocument::fromJson(payload).object();
    if (w->json) {
        QJsonObject line{{QStringLiteral("topic"), topic},
                         {QStringLiteral("serial"), serial},
                         {QStringLiteral("kind"), kind},
                         {QStringLiteral("retained"), m->retain}};
        if (!o.isEmpty())
            line.insert(QStringLiteral("message"), o);
        else
            line.insert(QStringLiteral("text"), QString::fromUtf8(payload));
        w->out << QJsonDocument(line).toJson(QJsonDocument::Compact) << '\n';
        w->out.flush();
        return;
    }
    Meter &meter = w->meters[serial];
    if (kind == u"state") {
        meter.state = o.value(QStringLiteral("state")).toString();
    } else if (kind == u"reading") {
        meter.value = QString::number(o.value(QStringLiteral("value")).toDouble());
        meter.unit = o.value(QStringLiteral("unit")).toString();
        meter.alarm = o.value(QStringLiteral("alarm")).toString();
        meter.range = o.value(QStringLiteral("range")).toString();
        meter.readingUtc =
            QDateTime::fromString(o.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs)
                .toMSecsSinceEpoch();
    } else if (kind == u"alarm") {
        meter.alarm = o.value(QStringLiteral("state")).toString();
    } else if (kind == u"meta" && meter.unit.isEmpty()) {
        meter.unit = o.value(QStringLiteral("unit")).toString();
    } else {
        return;
    }
    w->changed = true;
}

QString age(qint64 utc)
{
    if (utc == 0)
        return QStringLiteral("-");
    const qint64 s = std::max<qint64>(0, (QDateTime::currentMSecsSinceEpoch() - utc) / 1000);
    if (s < 120)
        return QStringLiteral("%1 s").arg(s);
    if (s < 7200)
        return QStringLiteral("%1 min").arg(s / 60);
    return QStringLiteral("%1 h").arg(s / 3600);
}

void draw(Watch &w, const QString &broker)
{
    QTextStream &o = w.out;
    if (w.terminal)
        o << "\x1b[H\x1b[2J"
          << "Meters at " << broker << " (" << w.prefix << "), "
          << QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss")) << "\n\n";
    auto row = [&](const QString &a, const QString &b, const QString &c, const QString &d,
                   const QString &e, const QString &f) {
        o << a.leftJustified(12) << ' ' << b.leftJustified(16) << ' ' << c.rightJustified(10) << ' '
          << d.leftJustified(6) << ' ' << e.leftJustified(13) << ' ' << f << '\n';
    };
    if (w.terminal || w.changed)
        row(QStringLiteral("SERIAL"), QStringLiteral("STATE"), QStringLiteral("VALUE"),
            QStringLiteral("UNIT"), QStringLiteral("ALARM"), QStringLiteral("AGE"));
    for (auto it = w.meters.cbegin(); it != w.meters.cend(); ++it)
        row(it.key(), it->state.isEmpty() ? QStringLiteral("-") : it->state,
            it->value.isEmpty() ? QStringLiteral("-") : it->value, it->unit,
            it->alarm.isEmpty() ? QStringLiteral("-") : it->alarm, age(it->readingUtc));
    if (w.terminal && w.meters.isEmpty())
        o << "(no meter has published yet)\n";
    if (!w.terminal)
        o << '\n';
    o.flush();
    w.changed = false;
}
} // namespace

int runWatchCommand(const QStringList &arguments)
{
    QTextStream err(stderr);
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption brokerOption(QStringLiteral("broker"), QString(),
                                          QStringLiteral("URL"));
    const QCommandLineOption serialOption(QStringLiteral("serial"), QString(), QStringLiteral("N"));
    const QCommandLineOption jsonOption(QStringLiteral("json"));
    const QCommandLineOption forOption(QStringLiteral("for"), QString(), QStringLiteral("S"));
    p.addOptions({help, brokerOption, serialOption, jsonOption, forOption});
    auto usage = [&](const QString &message) {
        err << "kest721: " << message << "\nTry 'kest721 watch --help' for more information.\n";
        return 2;
    };
    if (!p.parse(QStringList{QStringLiteral("kest721 watch")} + arguments))
        return usage(p.errorText());
    if (p.isSet(help)) {
        QTextStream(stdout) << watchHelp;
        return 0;
    }
    if (!p.positionalArguments().isEmpty())
        return usage(
            QStringLiteral("unexpected argument '%1'").arg(p.positionalArguments().first()));
    int forSeconds = 0;
    if (p.isSet(forOption)) {
        bool ok = false;
        forSeconds = p.value(forOption).toInt(&ok);
        if (!ok || forSeconds < 1)
            return usage(QStringLiteral("--for needs a number of seconds"));
    }
    norvale::assistant::Settings s = norvale::assistant::load();
    if (p.isSet(brokerOption))
        s.broker = p.value(brokerOption);
    QString why;
    const std::optional<norvale::assistant::BrokerUrl> url =
        norvale::assistant::parseBrokerUrl(s.broker, &why);
    if (!url)
        return usage(why);

    Watch w;
    w.prefix = s.topicPrefix;
    w.serial = p.value(serialOption);
    w.json = p.isSet(jsonOption);
    w.terminal = !w.json && ::isatty(STDOUT_FILENO);
    norvale::assistant::ClientHandle client = norvale::assistant::makeClient(
        s, QStringLiteral("kest721-watch-%1").arg(::getpid()), nullptr, &w, &why);
    if (!client) {
        err << "kest721: " << why << '\n';
        return 1;
    }
    mosquitto *m = client.get();
    mosquitto_message_callback_set(m, onMessage);
    mosquitto_connect_callback_set(m, [](mosquitto *mq, void *p, int rc) {
        auto *w = static_cast<Watch *>(p);
        w->connack = rc;
        if (rc == 0) {
            const QByteArray topic = (w->prefix + QStringLiteral("/+/+")).toUtf8();
            mosquitto_subscribe(mq, nullptr, topic.constData(), 1);
        }
    });
    // The loop below runs no event loop: it asks the handler's own count.
    const StopSignals stops;
    std::signal(SIGPIPE, SIG_IGN);

    int rc = mosquitto_connect(m, url->host.toUtf8().constData(), url->port, 30);
    if (rc != MOSQ_ERR_SUCCESS) {
        err << "kest721: " << norvale::assistant::connectFailure(*url, rc, errno, QString())
            << '\n';
        return 1;
    }
    QElapsedTimer running, sinceDraw;
    running.start();
    sinceDraw.start();
    bool everConnected = false;
    while (stops.arrived() == 0 && (forSeconds == 0 || running.elapsed() < forSeconds * 1000)) {
        rc = mosquitto_loop(m, 200, 1);
        if (w.connack > 0) {
            err << "kest721: " << norvale::assistant::refusal(*url, w.connack) << '\n';
            return 1;
        }
        everConnected = everConnected || w.connack == 0;
        if (rc != MOSQ_ERR_SUCCESS) {
            // The broker went away: try again each second, as long as it takes.
            if (!w.lost && !w.json)
                err << "kest721: " << norvale::assistant::connectFailure(*url, rc, errno, QString())
                    << " Trying again.\n";
            w.lost = true;
            ::sleep(1);
            if (mosquitto_reconnect(m) == MOSQ_ERR_SUCCESS)
                w.lost = false;
            continue;
        }
        if (w.json)
            continue;
        // A terminal shows the ages growing; a pipe gets the table when it changes.
        if ((w.terminal && sinceDraw.elapsed() >= 1000) ||
            (w.changed && sinceDraw.elapsed() >= 200)) {
            draw(w, s.broker);
            sinceDraw.restart();
        }
    }
    if (!w.json && w.changed)
        draw(w, s.broker);
    mosquitto_disconnect(m);
    return everConnected ? 0 : 1;
}

} // namespace norvale::host
