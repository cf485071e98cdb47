#include "assistant/publish/Publisher.h"

#include "assistant/publish/MqttClient.h"
#include "assistant/publish/Pacing.h"
#include "assistant/publish/Payloads.h"
#include "assistant/publish/PublishSettings.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QLoggingCategory>
#include <QMutex>
#include <QSet>
#include <QTimer>
#include <map>
#include <mosquitto.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcPublish, "norvale.publish")

namespace norvale::assistant
{

namespace
{
// The backlog's pace: 4,000 rows a second at most, in steps of 25 ms, with
// at most 300 messages waiting for the broker's acknowledgement.
constexpr int tickMs = 25;
constexpr int backlogRate = 4000;
constexpr int backlogBurst = 100;
constexpr int ackWindow = 300;
// How often the settings are read again and the backlog counted.
constexpr int housekeepingMs = 2000;
// How long a connection may take before it counts as failed.
constexpr int connectTimeoutMs = 8000;
constexpr int firstRetryMs = 1000;
constexpr int lastRetryMs = 30000;
constexpr int keepAliveSeconds = 10;
// Dose results are not in the journal: a few wait in memory for the broker.
constexpr int maxWaitingDoses = 100;

using RowKey = QPair<qint64, qint64>;

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// What one connection's callbacks need; they run on libmosquitto's thread.
struct Session {
    PublishWorker *worker = nullptr;
    int generation = 0;
    QMutex mutex;
    QString lastLog;
};
} // namespace

class PublishWorker : public QObject
{
public:
    PublishWorker(QString journalPath, Publisher *owner)
        : m_journalPath(std::move(journalPath)), m_owner(owner),
          m_pacer(backlogRate, backlogBurst, ackWindow)
    {
    }

    void start();
    void stop();

    void meterConnected(const PublishFeed::Meter &meter);
    void meterState(const QString &serial, const QString &state);
    void rowKept(const QString &serial, qint64 run, const Journal::Row &row);
    void doseMeasured(const QString &serial, qint64 utc, double dose, double rate,
                      const QString &unit);
    void downloadKept(qint64 run);
    void reload() { housekeeping(true); }

    // From libmosquitto's thread.
    void post(int generation, std::function<void()> f)
    {
        QMetaObject::invokeMethod(
            this,
            [this, generation, f = std::move(f)] {
                if (generation == m_generation)
                    f();
            },
            Qt::QueuedConnection);
    }
    void onConnect(int rc);
    void onDisconnect(int rc);
    void onPublish(int mid);
    void onLibraryError();

private:
    struct RunFacts {
        QString serial;
        Journal::Kind kind = Journal::Kind::Log;
        bool finished = false;
    };
    struct MeterFacts {
        std::optional<Meta> meta;
        QString state;
        qint64 stateUtc = 0;
    };

    void housekeeping(bool force = false);
    void connectNow();
    void teardown();
    void retryLater(const QString &reason);
    void setStatus(const QString &state, const QString &reason);
    void writeStatus();
    void startTicking();
    void tick();
    void announce();
    bool send(const Message &m, const QList<Journal::RowRef> &rows = {});
    void sendReading(const QString &serial, qint64 run, const Journal::Row &row);
    void sendDownload(qint64 run);
    std::optional<RunFacts> runFacts(qint64 run);
    QString lastLog();
    void holdWill(const QString &serial);

    QString m_journalPath;
    Publisher *m_owner;
    std::unique_ptr<Journal> m_journal;
    Settings m_settings;
    std::optional<BrokerUrl> m_url;
    QString m_prefix;

    ClientHandle m_client;
    std::unique_ptr<Session> m_session;
    int m_generation = 0;
    bool m_connected = false;
    bool m_loopRunning = false;
    qint64 m_sessionStartUtc = 0;
    QTimer *m_tick = nullptr;
    QTimer *m_housekeeping = nullptr;
    QTimer *m_retry = nullptr;
    QTimer *m_connectDeadline = nullptr;
    int m_retryMs = firstRetryMs;
    QElapsedTimer m_clock;
    Pacer m_pacer;

    QHash<int, QList<Journal::RowRef>> m_inflight; // message id -> the rows it carries
    QSet<RowKey> m_pending;                        // in flight, or acknowledged and not yet marked
    QList<Journal::RowRef> m_toMark;
    QSet<RowKey> m_deferred; // rows of a download still going on
    bool m_backlogPending = false;
    QHash<qint64, RunFacts> m_runs;
    // (run, late) -> the alarm state last sent in this connection: the backlog
    // and the live readings of one run each follow their own changes.
    QHash<RowKey, int> m_lastAlarm;
    QHash<QString, MeterFacts> m_meters;
    QList<Message> m_waitingDoses;
    QString m_willSerial;
    // A connection has one last will: each further meter gets a quiet
    // connection of its own that carries only its will, so that the broker
    // says "offline" for every meter of a server that dies.
    std::map<QString, ClientHandle> m_willHolders;
    QString m_lastFailure; // why the last try failed, shown while the next one goes
    qint64 m_startedUtc = 0;

    Status m_status;
    qint64 m_writtenBacklog = -1;
};

// ---- the thread's life ---------------------------------------------------------

void PublishWorker::start()
{
    m_startedUtc = nowMs();
    m_clock.start();
    m_journal = std::make_unique<Journal>(m_journalPath);
    if (!m_journal->isOpen())
        qCWarning(lcPublish).noquote() << "journal:" << m_journal->lastError();
    m_tick = new QTimer(this);
    m_tick->setInterval(tickMs);
    connect(m_tick, &QTimer::timeout, this, [this] { tick(); });
    m_housekeeping = new QTimer(this);
    connect(m_housekeeping, &QTimer::timeout, this, [this] { housekeeping(); });
    m_housekeeping->start(housekeepingMs);
    m_retry = new QTimer(this);
    m_retry->setSingleShot(true);
    connect(m_retry, &QTimer::timeout, this, [this] { connectNow(); });
    m_connectDeadline = new QTimer(this);
    m_connectDeadline->setSingleShot(true);
    connect(m_connectDeadline, &QTimer::timeout, this, [this] {
        if (m_connected || !m_url)
            return;
        const QString log = lastLog();
        teardown();
        // A handshake that failed ends the library's thread without a callback.
        retryLater(!m_url->tls || log.isEmpty()
                       ? QStringLiteral("The broker at %1:%2 did not answer within %3 s.")
                             .arg(m_url->host)
                             .arg(m_url->port)
                             .arg(connectTimeoutMs / 1000)
                       : connectFailure(*m_url, MOSQ_ERR_TLS, 0, log));
    });
    m_status.pid = ::getpid();
    housekeeping(true);
}

void PublishWorker::stop()
{
    // The readings sent last get their acknowledgement, so that the next
    // start does not send them again.
    QElapsedTimer waited;
    waited.start();
    while (m_connected && !m_inflight.isEmpty() && waited.elapsed() < 1000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    tick();
    const QString problem = m_connected ? QString() : m_lastFailure;
    teardown();
    if (m_journal && !m_settings.enabled)
        m_journal->passOverUnpublished();
    // The last problem stays readable after the server has gone.
    if (m_status.state != u"off")
        setStatus(QStringLiteral("stopped"), problem);
    m_journal.reset();
}

// ---- settings and the connection -------------------------------------------------

void PublishWorker::housekeeping(bool force)
{
    const Settings s = load();
    if (force || s != m_settings) {
        m_settings = s;
        m_prefix = s.topicPrefix;
        teardown();
        m_retryMs = firstRetryMs;
        if (!s.enabled) {
            m_url.reset();
            setStatus(QStringLiteral("off"), {});
        } else {
            connectNow();
        }
    }
    if (!m_journal || !m_journal->isOpen())
        return;
    // Kept while publishing is off: stays on this computer (turning it on
    // does not send a broker the history of every run before).
    if (!m_settings.enabled)
        m_journal->passOverUnpublished();
    else if (m_connected)
        m_backlogPending = true, startTicking();
    writeStatus();
}

void PublishWorker::connectNow()
{
    teardown();
    if (!m_settings.enabled)
        return;
    QString why = check(m_settings);
    if (!why.isEmpty()) {
        m_url.reset();
        // A password file made private, a broker started: worth another try.
        retryLater(why);
        return;
    }
    m_url = parseBrokerUrl(m_settings.broker, &why);
    // The connection's last will names a meter: without one to name and
    // nothing to send, it waits for the first meter (a server lives for its
    // hosts, who connect one at once).
    if (m_willSerial.isEmpty() && m_journal && m_journal->unpublishedCount() == 0) {
        setStatus(QStringLiteral("waiting"), QStringLiteral("No meter has connected yet."));
        return;
    }
    m_session = std::make_unique<Session>();
    m_session->worker = this;
    m_session->generation = ++m_generation;
    std::optional<Message> will;
    if (!m_willSerial.isEmpty())
        will = stateMessage(m_prefix, m_willSerial, QString::fromLatin1(StateOffline), {});
    const QString id = effectiveClientId(m_settings) + u'-' +
                       (m_willSerial.isEmpty() ? QString::number(::getpid()) : m_willSerial);
    m_client = makeClient(m_settings, id, will ? &*will : nullptr, m_session.get(), &why);
    if (!m_client) {
        retryLater(why);
        return;
    }
    mosquitto *m = m_client.get();
    mosquitto_max_inflight_messages_set(m, ackWindow);
    // Reconnecting is this worker's job; the library's own tries come rarely.
    mosquitto_reconnect_delay_set(m, 60, 60, false);
    mosquitto_log_callback_set(m, [](mosquitto *, void *p, int level, const char *text) {
        if (!(level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)))
            return;
        auto *s = static_cast<Session *>(p);
        {
            QMutexLocker lock(&s->mutex);
            s->lastLog = QString::fromUtf8(text);
        }
        // A failed TLS handshake ends the library's thread with this note alone.
        if (level & MOSQ_LOG_ERR)
            s->worker->post(s->generation, [w = s->worker] { w->onLibraryError(); });
    });
    mosquitto_connect_callback_set(m, [](mosquitto *, void *p, int rc) {
        auto *s = static_cast<Session *>(p);
        s->worker->post(s->generation, [w = s->worker, rc] { w->onConnect(rc); });
    });
    mosquitto_disconnect_callback_set(m, [](mosquitto *, void *p, int rc) {
        auto *s = static_cast<Session *>(p);
        s->worker->post(s->generation, [w = s->worker, rc] { w->onDisconnect(rc); });
    });
    mosquitto_publish_callback_set(m, [](mosquitto *, void *p, int mid) {
        auto *s = static_cast<Session *>(p);
        s->worker->post(s->generation, [w = s->worker, mid] { w->onPublish(mid); });
    });
    setStatus(QStringLiteral("connecting"), m_lastFailure);
    errno = 0;
    // Resolves the name on this thread, never on the user interface's.
    const int rc =
        mosquitto_connect_async(m, m_url->host.toUtf8().constData(), m_url->port, keepAliveSeconds);
    const int err = errno;
    if (rc != MOSQ_ERR_SUCCESS) {
        const QString reason = connectFailure(*m_url, rc, err, lastLog());
        teardown();
        retryLater(reason);
        return;
    }
    if (mosquitto_loop_start(m) != MOSQ_ERR_SUCCESS) {
        teardown();
        retryLater(QStringLiteral("The MQTT client's thread cannot be started."));
        return;
    }
    m_loopRunning = true;
    m_connectDeadline->start(connectTimeoutMs);
}

void PublishWorker::teardown()
{
    ++m_generation; // callbacks still queued belong to no connection
    if (m_connectDeadline)
        m_connectDeadline->stop();
    if (m_client) {
        mosquitto_disconnect(m_client.get());
        if (m_loopRunning)
            mosquitto_loop_stop(m_client.get(), false);
        m_client.reset();
    }
    m_loopRunning = false;
    m_session.reset();
    m_connected = false;
    for (auto &holder : m_willHolders) {
        mosquitto_disconnect(holder.second.get()); // a clean end: the broker keeps the will
        mosquitto_loop_stop(holder.second.get(), false);
    }
    m_willHolders.clear();
    // Rows in flight stay unsent in the journal; those acknowledged are marked still.
    m_inflight.clear();
    m_pending.clear();
    for (const Journal::RowRef &r : std::as_const(m_toMark))
        m_pending.insert({r.run, r.seq});
    m_deferred.clear();
    m_lastAlarm.clear();
}

void PublishWorker::onLibraryError()
{
    if (m_connected || !m_url || !m_url->tls)
        return;
    const QString reason = connectFailure(*m_url, MOSQ_ERR_TLS, 0, lastLog());
    teardown();
    retryLater(reason);
}

void PublishWorker::retryLater(const QString &reason)
{
    m_lastFailure = reason;
    qCInfo(lcPublish).noquote() << reason;
    setStatus(QStringLiteral("waiting"), reason);
    m_retry->start(m_retryMs);
    m_retryMs = std::min(m_retryMs * 2, lastRetryMs);
}

QString PublishWorker::lastLog()
{
    if (!m_session)
        return {};
    QMutexLocker lock(&m_session->mutex);
    return m_session->lastLog;
}

void PublishWorker::onConnect(int rc)
{
    m_connectDeadline->stop();
    if (rc != 0) {
        const QString reason = refusal(*m_url, rc);
        teardown();
        retryLater(reason);
        return;
    }
    m_connected = true;
    m_retryMs = firstRetryMs;
    m_lastFailure.clear();
    m_sessionStartUtc = nowMs();
    setStatus(QStringLiteral("connected"), {});
    qCInfo(lcPublish).noquote() << "connected to" << m_settings.broker;
    for (auto it = m_meters.cbegin(); it != m_meters.cend(); ++it)
        holdWill(it.key());
    announce();
    m_backlogPending = true;
    startTicking();
}

void PublishWorker::onDisconnect(int rc)
{
    if (!m_connected && rc == 0)
        return;
    const QString reason =
        m_url ? connectFailure(*m_url, rc == 0 ? MOSQ_ERR_CONN_LOST : rc, 0, lastLog()) : QString();
    teardown();
    retryLater(reason);
}

// ---- what goes out ---------------------------------------------------------------

bool PublishWorker::send(const Message &msg, const QList<Journal::RowRef> &rows)
{
    if (!m_connected)
        return false;
    int mid = 0;
    const QByteArray t = msg.topic.toUtf8();
    const int rc = mosquitto_publish(m_client.get(), &mid, t.constData(), int(msg.payload.size()),
                                     msg.payload.constData(), msg.qos, msg.retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        qCDebug(lcPublish) << "publish failed:" << mosquitto_strerror(rc);
        return false;
    }
    if (msg.qos > 0) {
        m_inflight.insert(mid, rows);
        for (const Journal::RowRef &r : rows)
            m_pending.insert({r.run, r.seq});
    }
    return true;
}

// Meta, discovery and the last state of each meter: retained, so sent again
// on every connection (the broker may have lost them).
void PublishWorker::announce()
{
    for (auto it = m_meters.cbegin(); it != m_meters.cend(); ++it) {
        if (it->meta) {
            send(metaMessage(m_prefix, *it->meta));
            if (m_settings.homeAssistant)
                for (const Message &m : discoveryMessages(m_prefix, *it->meta))
                    send(m);
        }
        if (!it->state.isEmpty())
            send(stateMessage(m_prefix, it.key(), it->state, it->stateUtc));
    }
    for (const Message &m : std::exchange(m_waitingDoses, {}))
        send(m);
}

std::optional<PublishWorker::RunFacts> PublishWorker::runFacts(qint64 run)
{
    // A run's meter and kind never change; only whether a download has ended does.
    auto it = m_runs.find(run);
    if (it != m_runs.end() && (it->kind == Journal::Kind::Log || it->finished))
        return *it;
    const std::optional<Journal::Run> r = m_journal->run(run);
    if (!r)
        return std::nullopt;
    // A download that a server before this one began is never ended by anyone.
    RunFacts f{r->serialNumber, r->kind,
               r->endedUtc.has_value() || r->startedUtc.value_or(0) < m_startedUtc};
    m_runs.insert(run, f);
    return f;
}

void PublishWorker::sendReading(const QString &serial, qint64 run, const Journal::Row &row)
{
    if (m_pending.contains({run, row.seq}))
        return;
    Reading r;
    r.serial = serial;
    r.run = run;
    r.seq = row.seq;
    r.utc = row.utc.value_or(0);
    r.value = row.value;
    r.unit = row.unit;
    r.range = row.rangeLabel;
    r.alarmState = row.alarmState.value_or(0);
    r.late = r.utc < m_sessionStartUtc;
    const RowKey lane{run, r.late ? 1 : 0};
    const auto last = m_lastAlarm.constFind(lane);
    if (last == m_lastAlarm.cend() || *last != r.alarmState) {
        // An acknowledgement turns an alarm (or a cleared one) into its
        // acknowledged state; the journal keeps its own instant.
        std::optional<qint64> ackUtc;
        if (last != m_lastAlarm.cend() && (*last == 2 || *last == 4) &&
            (r.alarmState == 1 || r.alarmState == 3))
            for (const Journal::Event &e : m_journal->events(run))
                if (e.kind == Journal::EventKind::AlarmAcknowledged && e.utc <= r.utc)
                    ackUtc = e.utc;
        // Only the newest state stays on the broker for newcomers.
        send(alarmMessage(m_prefix, r, ackUtc, !r.late));
        m_lastAlarm.insert(lane, r.alarmState);
    }
    send(readingMessage(m_prefix, r), {{run, row.seq}});
}

void PublishWorker::sendDownload(qint64 run)
{
    const std::optional<RunFacts> facts = runFacts(run);
    const std::optional<Journal::Run> info = m_journal->run(run);
    if (!facts || !info)
        return;
    DownloadSummary d;
    d.serial = facts->serial;
    d.run = run;
    d.utc = info->endedUtc.value_or(info->startedUtc.value_or(nowMs()));
    QList<Journal::RowRef> refs;
    for (const Journal::Row &row : m_journal->rows(run)) {
        refs.append({run, row.seq});
        ++d.records;
        d.unit = row.unit;
        if (!d.firstValue)
            d.firstValue = row.value;
        d.lastValue = row.value;
        d.minValue = std::min(d.minValue.value_or(row.value), row.value);
        d.maxValue = std::max(d.maxValue.value_or(row.value), row.value);
        if (!row.rangeLabel.isEmpty() && !d.ranges.contains(row.rangeLabel))
            d.ranges.append(row.rangeLabel);
    }
    send(downloadMessage(m_prefix, d, d.utc < m_sessionStartUtc), refs);
}

void PublishWorker::startTicking()
{
    if (!m_tick->isActive())
        m_tick->start();
}

void PublishWorker::tick()
{
    if (!m_journal)
        return;
    if (!m_toMark.isEmpty()) {
        const QList<Journal::RowRef> marks = std::exchange(m_toMark, {});
        if (m_journal->markPublished(marks)) {
            for (const Journal::RowRef &r : marks)
                m_pending.remove({r.run, r.seq});
        } else {
            qCWarning(lcPublish).noquote() << "journal:" << m_journal->lastError();
            m_toMark = marks;
        }
    }
    if (m_connected && m_backlogPending) {
        const int budget = m_pacer.budget(m_clock.elapsed(), int(m_inflight.size()));
        if (budget > 0) {
            const int limit = int(m_pending.size() + m_deferred.size()) + budget;
            const auto rows = m_journal->unpublished(limit);
            int sent = 0;
            bool more = rows.size() >= limit;
            for (const auto &[ref, row] : rows) {
                if (m_pending.contains({ref.run, ref.seq}) ||
                    m_deferred.contains({ref.run, ref.seq}))
                    continue;
                if (sent >= budget) {
                    more = true;
                    break;
                }
                const std::optional<RunFacts> facts = runFacts(ref.run);
                if (!facts)
                    continue;
                if (facts->kind == Journal::Kind::Download) {
                    if (!facts->finished) {
                        m_deferred.insert({ref.run, ref.seq});
                        continue;
                    }
                    sendDownload(ref.run);
                } else {
                    sendReading(facts->serial, ref.run, row);
                }
                ++sent;
                if (!m_connected)
                    break;
            }
            m_pacer.spend(sent);
            m_backlogPending = more;
        }
    }
    if (m_toMark.isEmpty() && !(m_connected && m_backlogPending))
        m_tick->stop();
}

void PublishWorker::onPublish(int mid)
{
    const auto it = m_inflight.find(mid);
    if (it == m_inflight.end())
        return;
    const QList<Journal::RowRef> rows = *it;
    m_inflight.erase(it);
    m_toMark += rows;
    m_status.sent += rows.size();
    startTicking();
}

// ---- what the Assistant says -------------------------------------------------------

void PublishWorker::meterConnected(const PublishFeed::Meter &meter)
{
    Meta meta{meter.serial,     meter.model,        meter.units,
              meter.alarmPoint, meter.alarmEnabled, meter.software, meter.calibrationDue};
    m_meters[meter.serial].meta = meta;
    // The connection's last will speaks for the first meter this server serves.
    if (m_willSerial.isEmpty() && !meter.serial.isEmpty()) {
        m_willSerial = meter.serial;
        if (m_settings.enabled) {
            connectNow();
            return;
        }
    }
    if (m_connected)
        holdWill(meter.serial);
    send(metaMessage(m_prefix, meta));
    if (m_settings.homeAssistant)
        for (const Message &m : discoveryMessages(m_prefix, meta))
            send(m);
}

void PublishWorker::holdWill(const QString &serial)
{
    if (serial.isEmpty() || serial == m_willSerial || m_willHolders.contains(serial) || !m_url)
        return;
    const Message will = stateMessage(m_prefix, serial, QString::fromLatin1(StateOffline), {});
    QString why;
    ClientHandle h = makeClient(
        m_settings, effectiveClientId(m_settings) + u'-' + serial + QStringLiteral("-will"), &will,
        nullptr, &why);
    // The library's thread keeps it connected; a failure here costs only the
    // will, so it is noted and tried again with the next connection.
    if (!h) {
        qCWarning(lcPublish).noquote() << "the last will of meter" << serial << why;
        return;
    }
    mosquitto_reconnect_delay_set(h.get(), 1, 30, true);
    int rc = mosquitto_connect_async(h.get(), m_url->host.toUtf8().constData(), m_url->port,
                                     keepAliveSeconds);
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_loop_start(h.get());
    if (rc != MOSQ_ERR_SUCCESS) {
        qCWarning(lcPublish).noquote()
            << "the last will of meter" << serial << mosquitto_strerror(rc);
        return;
    }
    m_willHolders.emplace(serial, std::move(h));
}

void PublishWorker::meterState(const QString &serial, const QString &state)
{
    MeterFacts &m = m_meters[serial];
    m.state = state;
    m.stateUtc = nowMs();
    send(stateMessage(m_prefix, serial, state, m.stateUtc));
}

void PublishWorker::rowKept(const QString &serial, qint64 run, const Journal::Row &row)
{
    if (m_connected)
        sendReading(serial, run, row);
}

void PublishWorker::doseMeasured(const QString &serial, qint64 utc, double dose, double rate,
                                 const QString &unit)
{
    const Message m = doseMessage(m_prefix, serial, utc, dose, rate, unit);
    if (!send(m) && m_settings.enabled && m_waitingDoses.size() < maxWaitingDoses)
        m_waitingDoses.append(m);
}

void PublishWorker::downloadKept(qint64 run)
{
    m_runs.remove(run);
    for (auto it = m_deferred.begin(); it != m_deferred.end();)
        it = it->first == run ? m_deferred.erase(it) : std::next(it);
    if (m_connected)
        sendDownload(run);
}

// ---- the state others read ---------------------------------------------------------

void PublishWorker::setStatus(const QString &state, const QString &reason)
{
    if (state != m_status.state)
        m_status.since = nowMs();
    m_status.state = state;
    m_status.reason = reason;
    m_status.broker = m_settings.enabled ? m_settings.broker : QString();
    m_writtenBacklog = -1;
    writeStatus();
}

void PublishWorker::writeStatus()
{
    if (m_journal && m_journal->isOpen())
        m_status.backlog = std::max<qint64>(0, m_journal->unpublishedCount());
    if (m_status.backlog == m_writtenBacklog)
        return;
    m_writtenBacklog = m_status.backlog;
    norvale::assistant::writeStatus(m_status);
    QMetaObject::invokeMethod(
        m_owner, [o = m_owner, s = m_status] { o->setStatus(s); }, Qt::QueuedConnection);
}

// ---- Publisher ---------------------------------------------------------------------

Publisher::Publisher(const QString &journalPath, QObject *parent) : QObject(parent)
{
    initLibrary();
    m_thread.setObjectName(QStringLiteral("publisher"));
    m_worker = new PublishWorker(journalPath, this);
    m_worker->moveToThread(&m_thread);
    m_thread.start();
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker] { w->start(); }, Qt::QueuedConnection);
}

Publisher::~Publisher()
{
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker] { w->stop(); }, Qt::BlockingQueuedConnection);
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker] { delete w; }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void Publisher::meterConnected(const Meter &meter)
{
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, meter] { w->meterConnected(meter); }, Qt::QueuedConnection);
}

void Publisher::meterState(const QString &serial, const char *state)
{
    QMetaObject::invokeMethod(
        m_worker,
        [w = m_worker, serial, s = QString::fromLatin1(state)] { w->meterState(serial, s); },
        Qt::QueuedConnection);
}

void Publisher::rowKept(const QString &serial, qint64 run, const Journal::Row &row)
{
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, serial, run, row] { w->rowKept(serial, run, row); },
        Qt::QueuedConnection);
}

void Publisher::doseMeasured(const QString &serial, double dose, double averageRate,
                             const QString &unit)
{
    QMetaObject::invokeMethod(
        m_worker,
        [w = m_worker, serial, utc = nowMs(), dose, averageRate, unit] {
            w->doseMeasured(serial, utc, dose, averageRate, unit);
        },
        Qt::QueuedConnection);
}

void Publisher::downloadKept(qint64 run)
{
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, run] { w->downloadKept(run); }, Qt::QueuedConnection);
}

void Publisher::reload()
{
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker] { w->reload(); }, Qt::QueuedConnection);
}

Status Publisher::status() const
{
    return m_status;
}

void Publisher::setStatus(const Status &s)
{
    m_status = s;
    emit statusChanged(s);
}

} // namespace norvale::assistant
