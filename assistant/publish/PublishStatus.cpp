#include "assistant/publish/PublishStatus.h"

#include "assistant/Journal.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <csignal>
#include <cstdio>

namespace norvale::assistant
{

QString statusPath()
{
    return QFileInfo(Journal::defaultPath()).absolutePath() +
           QStringLiteral("/publish-status.json");
}

bool writeStatus(const Status &s)
{
    const QJsonObject o{
        {QStringLiteral("state"), s.state},     {QStringLiteral("reason"), s.reason},
        {QStringLiteral("broker"), s.broker},   {QStringLiteral("since"), s.since},
        {QStringLiteral("backlog"), s.backlog}, {QStringLiteral("sent"), s.sent},
        {QStringLiteral("pid"), s.pid}};
    // Whole or not at all for a reader, and never synced: it says how things
    // stand now, and a lost one is written again at the next change.
    const QString path = statusPath();
    QFile f(path + QStringLiteral(".new"));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray data = QJsonDocument(o).toJson(QJsonDocument::Compact);
    const bool written = f.write(data) == data.size();
    f.close();
    return written && std::rename(QFile::encodeName(f.fileName()).constData(),
                                  QFile::encodeName(path).constData()) == 0;
}

std::optional<Status> readStatus()
{
    QFile f(statusPath());
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonObject o = QJsonDocument::fromJson(f.readAll()).object();
    if (o.isEmpty())
        return std::nullopt;
    Status s;
    s.state = o.value(QStringLiteral("state")).toString();
    s.reason = o.value(QStringLiteral("reason")).toString();
    s.broker = o.value(QStringLiteral("broker")).toString();
    s.since = o.value(QStringLiteral("since")).toInteger();
    s.backlog = o.value(QStringLiteral("backlog")).toInteger();
    s.sent = o.value(QStringLiteral("sent")).toInteger();
    s.pid = o.value(QStringLiteral("pid")).toInteger();
    return s;
}

QString describe(const std::optional<Status> &s)
{
    if (!s)
        return QStringLiteral("no state yet (the Assistant server has not run with this journal)");
    const QString at =
        QDateTime::fromMSecsSinceEpoch(s->since).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    QString line;
    if (s->state == u"connected")
        line = QStringLiteral("connected to %1 since %2").arg(s->broker, at);
    else if (s->state == u"off")
        line = QStringLiteral("off");
    else
        line = QStringLiteral("%1 since %2").arg(s->state, at);
    if (!s->reason.isEmpty())
        line += QStringLiteral(": ") + s->reason;
    if (s->state != u"off")
        line += QStringLiteral(" (%1 reading%2 waiting to be sent)")
                    .arg(s->backlog)
                    .arg(s->backlog == 1 ? "" : "s");
    const bool running = s->pid > 0 && ::kill(pid_t(s->pid), 0) == 0;
    if (!running)
        line += QStringLiteral("; the Assistant server is not running now");
    return line;
}

} // namespace norvale::assistant
