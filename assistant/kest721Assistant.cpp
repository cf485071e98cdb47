#include "assistant/kest721Assistant.h"

#include "assistant/AlarmSound.h"
#include "assistant/AssistantWindows.h"
#include "assistant/Calibration.h"
#include "assistant/Journal.h"
#include "assistant/Prompter.h"
#include "assistant/publish/PublishFeed.h"
#include "assistant/RuntimeError.h"
#include "platform/SerialLink.h"
#include "control/dbus/kest720Proxy.h"
#include "assistant/modAlarm.h"
#include "assistant/modCalc.h"
#include "assistant/modMain.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLocale>
#include <QLoggingCategory>
#include <QPointer>
#include <QTimeZone>
#include <QTimer>
#include <cmath>
#include <optional>
#include <pwd.h>
#include <unistd.h>
#include <vector>

Q_LOGGING_CATEGORY(lcAssistant, "norvale.assistant")

namespace norvale::assistant
{

namespace
{
QPointer<kest721Assistant> g_assistant;
// The Assistant whose logging run has the server's one sampling clock.
QPointer<kest721Assistant> g_logRunner;

const QString connectionTitle = QStringLiteral("721 Connection Status");
const QString textConnectionLost = QStringLiteral("Connection lost");

// Runs a step whose failure the Assistant ignores; the error is only logged.
template <typename F> void ignoringErrors(const char *what, F &&f)
{
    try {
        f();
    } catch (const platform::AutomationError &e) {
        qCInfo(lcAssistant).noquote() << what << "failed (ignored):" << e.description();
    }
}

// The number at the start of a range label ("500 uR/h"), as the display's
// 16-bit scale number: rounded to the nearest integer, halves to even.
int16_t scaleNumberOf(const QString &unitString)
{
    const double n = std::nearbyint(modCalc::LeadingNumber(unitString));
    if (!(n >= -32768.0 && n <= 32767.0))
        raiseRuntimeError(errOverflow);
    return static_cast<int16_t>(n);
}

// Readings reach the host in mR/h (roentgen units) or uSv/h (sievert units).
void toAlarmUnits(control::Measurement &m)
{
    m.ToPrefix(m.Unit == control::unitR ? control::prefixMilli : control::prefixMicro);
}

QString alarmUnitsText(const control::Measurement &m)
{
    return m.Unit == control::unitR ? QStringLiteral("mR/h") : QStringLiteral("uSv/h");
}

// An error of the port names it ("port 9 (/dev/ttyS8): ..."); one that does
// not (a meter that does not answer) gets the port it was on, so that a
// mistyped port number shows in every error it causes.
QString namingThePort(const QString &description, int16_t number = modMain::ComPort)
{
    const QString port = QStringLiteral("port %1").arg(number);
    if (description.contains(port + QStringLiteral(" (")))
        return description;
    const QString path = platform::resolvePortPath(number);
    return description + QStringLiteral(" - %1 (%2)")
                             .arg(port, path.isEmpty() ? QStringLiteral("no device") : path);
}

platform::AutomationError withPort(const platform::AutomationError &e,
                                   int16_t port = modMain::ComPort)
{
    return platform::AutomationError(e.number(), e.source(), namingThePort(e.description(), port));
}

QString modelName(control::TYPE_MODEL model)
{
    switch (model) {
    case control::model720K:
        return QStringLiteral("720K");
    case control::model720M:
        return QStringLiteral("720M");
    default:
        return {};
    }
}

// The person a run is recorded for when the host names nobody.
QString loginName()
{
    if (const passwd *pw = getpwuid(getuid()))
        return QString::fromLocal8Bit(pw->pw_name);
    return qEnvironmentVariable("USER");
}
} // namespace

namespace
{
// The windows of an Assistant that has none: nothing is shown, no dialog
// runs, and the instrument display only keeps what it is told.
class NoDisplay : public InstrumentDisplay
{
public:
    void Reset() override {}
    void Show() override {}
    void Hide() override {}
    void ShowMessage(const QString &) override {}
    void setValue(double) override {}
    void setUnits(const QString &) override {}
    void setScaleNumber(int16_t) override {}
    void setAlarmState(modAlarm::enumAlarmState) override {}
    void setAlarmValue(const QString &) override {}
    void setUseAcknowledge(bool) override {}
    void setColors(uint32_t, uint32_t, uint32_t, uint32_t) override {}
};

class NoStatusWindow : public StatusWindow
{
public:
    void Message(const QString &, const QString &) override {}
    void Hide() override {}
};

class NoWindows : public AssistantWindows
{
public:
    std::unique_ptr<InstrumentDisplay> createDisplay() override
    {
        return std::make_unique<NoDisplay>();
    }
    std::unique_ptr<StatusWindow> createStatusWindow() override
    {
        return std::make_unique<NoStatusWindow>();
    }
    void showProperties(kest721Assistant &) override {}
    void showOptions(kest721Assistant &) override {}
    void showIntegrate(kest721Assistant &) override {}
    void showAbout(kest721Assistant &) override {}
    void unloadDialogs() override {}
    bool integrationRunning() override { return false; }
    void endIntegration() override {}
    void assistantGone(kest721Assistant *) override {}
};
} // namespace

AssistantWindows &kest721Assistant::windows() const
{
    static NoWindows none;
    return m_services.windows ? *m_services.windows : none;
}

std::optional<double> meterAlarmLevel(norvale::control::kest720Proxy &k, int16_t range)
{
    const control::Ranges ranges = k.Ranges();
    if (range < 1 || range > ranges.Count())
        return std::nullopt;
    const control::Range &r = ranges.Item(range);
    // Single-precision scale numbers carry binary noise: 50 % of 5 is 2.5.
    const double scale = QString::number(r.ScaleNumber, 'g', 7).toDouble();
    const double level = k.AlarmPercent() / 100.0 * scale;
    return modCalc::ToAlarmUnits(level, r.Display);
}

kest721Assistant *gAssistant()
{
    return g_assistant.data();
}

double spreadsheetDate(const QDateTime &local)
{
    static const QDate epoch(1899, 12, 30);
    const qint64 days = epoch.daysTo(local.date());
    const int seconds = QTime(0, 0).secsTo(local.time());
    return static_cast<double>(days) + seconds / 86400.0;
}

kest721Assistant::kest721Assistant(Services services, QObject *parent)
    : QObject(parent), m_services(std::move(services))
{
    // A server that cannot be started is reported by the first Connect.
    ignoringErrors("creating the instrument object", [this] { createInstrument(); });
    // A host made while another's run is going may have stored a run length
    // or an interval for itself: the run that is going keeps its own.
    const bool runGoing = otherRunGoing();
    const modMain::RunSettings running = modMain::CurrentRunSettings();
    m_unreadSettings = modMain::LoadSettings();
    if (runGoing)
        modMain::RestoreRunSettings(running);
    if (!m_unreadSettings.isEmpty())
        qCWarning(lcAssistant).noquote()
            << "settings not read, defaults used:" << m_unreadSettings.join(QStringLiteral(", "));
}

kest721Assistant::~kest721Assistant()
{
    windows().assistantGone(this);
    if (m_services.journal && m_journalSyncPending)
        m_services.journal->sync();
    // The waits below run the event loop: no event may reach a half-gone object.
    if (m_instrument)
        m_instrument->disconnect(this);
    m_watcher.reset();
    stopClock();
    modTimer::clock().forgetOwner(this);
    if (hasInstrument()) {
        // A host that leaves mid-run must not leave the meter streaming.
        if (m_runActive)
            ignoringErrors("StopLog", [this] { m_instrument->StopLog(); });
        ignoringErrors("ClosePort", [this] { m_instrument->ClosePort(); });
    }
    m_runActive = false;
    // The window opens next time where the person left it.
    if (m_display)
        if (const std::optional<QPoint> at = m_display->shownPosition())
            modMain::DisplayPosition = at;
    const QStringList unwritten = modMain::SaveSettings();
    if (!unwritten.isEmpty())
        qCWarning(lcAssistant).noquote()
            << "settings not saved:" << unwritten.join(QStringLiteral(", "));
    releaseInstrument();
    m_msg.reset();
    if (g_assistant == this)
        g_assistant = nullptr;
}

void kest721Assistant::createInstrument()
{
    releaseInstrument();
    m_instrument = m_services.makeInstrument();
    m_instrumentGone = false;
    norvale::control::kest720Proxy *k = m_instrument.get();
    connect(k, &norvale::control::kest720Proxy::LiveData, this, &kest721Assistant::onLiveData);
    connect(k, &norvale::control::kest720Proxy::LiveDataError, this,
            &kest721Assistant::onLiveDataError);
    connect(k, &norvale::control::kest720Proxy::DataDownload, this,
            &kest721Assistant::onDataDownload);
    connect(k, &norvale::control::kest720Proxy::DataDownloadComplete, this,
            &kest721Assistant::onDataDownloadComplete);
    connect(k, &norvale::control::kest720Proxy::DataDownloadError, this,
            &kest721Assistant::onDataDownloadError);
    // The object lives in another process; when that process ends, the
    // object has gone with it.
    m_watcher =
        std::make_unique<QDBusServiceWatcher>(k->remote().service(), k->remote().connection(),
                                              QDBusServiceWatcher::WatchForUnregistration);
    connect(m_watcher.get(), &QDBusServiceWatcher::serviceUnregistered, this,
            &kest721Assistant::instrumentGone);
}

void kest721Assistant::releaseInstrument()
{
    m_watcher.reset();
    if (!m_instrument)
        return;
    m_instrument->disconnect(this);
    if (!m_instrumentGone)
        ignoringErrors("Release", [this] { m_instrument->Release(); });
    m_instrument.reset();
}

void kest721Assistant::instrumentGone()
{
    if (m_instrumentGone)
        return;
    qCWarning(lcAssistant) << "the instrument server has gone";
    m_instrumentGone = true;
    if (m_runActive) {
        emit LiveDataError();
        endRun(false);
    }
    if (m_downloading) {
        m_downloading = false;
        emit DataDownloadError();
        closeDownloadWindow();
    }
}

QString kest721Assistant::ask(const QString &title, const QString &text, const QStringList &buttons)
{
    if (!m_services.prompts)
        return defaultButton(buttons);
    return m_services.prompts->ask(title, text, buttons, m_waiter, m_boxOwner);
}

// ---- Connect and Disconnect ---------------------------------------------------

void kest721Assistant::Connect()
{
    QPointer<kest721Assistant> self(this);
    std::unique_ptr<StatusWindow> msg = windows().createStatusWindow();
    msg->Message(QStringLiteral("Connecting to unit..."), connectionTitle);

    // A damaged settings store would otherwise send the meter's port number
    // back to its default without a word: the host is told once, here, where
    // it listens for boxes.
    if (!m_unreadSettings.isEmpty()) {
        const QString unread = std::exchange(m_unreadSettings, {}).join(QStringLiteral(", "));
        ask(applicationTitle,
            QStringLiteral("The settings of the 721 Assistant cannot be read (%1). The "
                           "defaults are used until they are saved again.")
                .arg(unread),
            {buttonOK});
        if (!self)
            return;
    }

    Disconnect();
    if (!self)
        return;
    m_meterLost = false;

    ensureDisplay();
    g_assistant = this;

    try {
        // The instrument object of a server that has gone, or that could
        // not be created, is created anew here.
        if (!hasInstrument())
            createInstrument();
        m_port = modMain::ComPort;
        m_instrument->setPort(m_port);
        m_instrument->OpenPort();
    } catch (const platform::AutomationError &e) {
        msg.reset();
        ask(applicationTitle, e.description(), {buttonOK});
        if (!self)
            return;
        if (hasInstrument())
            ignoringErrors("ClosePort", [this] { m_instrument->ClosePort(); });
        Disconnect();
        return;
    }

    msg->Message(QStringLiteral("Please wait while connecting to unit..."), connectionTitle);
    try {
        m_instrument->Initialize();
    } catch (const platform::AutomationError &e) {
        msg.reset();
        ask(applicationTitle,
            QStringLiteral("Initialization failed!\r\n") + namingThePort(e.description()),
            {buttonOK});
        if (self)
            Disconnect();
        return;
    }
    // Another meter's alarm level is not the running run's alarm point.
    if (modAlarm::AlarmPointPending() && !otherRunGoing())
        adoptMeterAlarm();
    publishConnected();
    emit Connected();
}

bool kest721Assistant::otherRunGoing() const
{
    return g_logRunner && g_logRunner != this && g_logRunner->m_runActive;
}

void kest721Assistant::adoptMeterAlarm()
{
    // A first alarm point of 0 would make every background reading an alarm,
    // and alarms that always sound teach people to ignore them: the meter's
    // own alarm is what its user last chose.
    try {
        const int16_t range = m_instrument->AlarmRange();
        const std::optional<double> level = meterAlarmLevel(*m_instrument, range);
        if (!level)
            return;
        modAlarm::SetAlarmEnabled(range != 6);
        modAlarm::SetAlarmPoint(*level);
        qCInfo(lcAssistant).noquote()
            << "alarm point taken from the meter:" << modCalc::NumberText(*level)
            << (modAlarm::GetAlarmEnabled() ? "(enabled)" : "(the meter's alarm is off)");
        const QStringList unwritten = modMain::SaveSettings();
        if (!unwritten.isEmpty())
            qCWarning(lcAssistant).noquote()
                << "settings not saved:" << unwritten.join(QStringLiteral(", "));
    } catch (const platform::AutomationError &e) {
        qCInfo(lcAssistant).noquote() << "the meter's alarm not read:" << e.description();
    }
}

void kest721Assistant::ensureDisplay()
{
    if (m_display)
        return;
    m_display = windows().createDisplay();
    m_display->placeAt(modMain::DisplayPosition);
    connect(m_display.get(), &InstrumentDisplay::Acknowledge, this, [this] {
        modAlarm::AcknowledgeAlarm();
        if (m_runActive)
            markJournal(int(Journal::EventKind::AlarmAcknowledged), QString::number(m_lastValue));
    });
    emit displayCreated();
}

void kest721Assistant::stopClock()
{
    // The clock is the process's: another Assistant's run keeps its own.
    if (modTimer::clock().owner() == this || !modTimer::clock().owner())
        modTimer::StopTimer();
}

void kest721Assistant::Disconnect()
{
    QPointer<kest721Assistant> self(this);
    if (hasInstrument()) {
        bool initialized = false;
        ignoringErrors("Initialized", [&] { initialized = m_instrument->Initialized(); });
        // A meter whose link was lost is not asked whether to save its settings.
        if (initialized && !m_meterLost) {
            const QString answer =
                ask(QStringLiteral("Disconnect"),
                    QStringLiteral("If any changes to the 721 settings have been applied and you "
                                   "wish to save the changes to the 721 then press Yes.") +
                        QStringLiteral(" If changes do not need to be saved then press No. ") +
                        QStringLiteral(" To cancel the disconnection press Cancel."),
                    {buttonYes, buttonNo, buttonCancel});
            if (!self || answer == buttonCancel)
                return;
            // A run or an integration still going would go on with a meter that has left.
            if (m_runActive)
                endRun(true);
            windows().endIntegration();
            if (hasInstrument())
                ignoringErrors("Disconnect",
                               [&] { m_instrument->Disconnect(answer == buttonYes); });
        }
        if (hasInstrument())
            ignoringErrors("ClosePort", [this] { m_instrument->ClosePort(); });
    }
    if (m_runActive)
        endRun(false);
    if (g_assistant == this)
        g_assistant = nullptr;
    windows().unloadDialogs();
    m_msg.reset();
    publishState("disconnected");
    m_feedSerial.clear();
    emit Disconnected();
}

bool kest721Assistant::Initialized() const
{
    // The instrument still counts itself initialised after its port went away.
    if (!hasInstrument() || m_meterLost)
        return false;
    return m_instrument->Initialized();
}

norvale::control::kest720Proxy &kest721Assistant::Control() const
{
    if (!m_instrument)
        throw platform::AutomationError(
            91, programName(), QStringLiteral("Object variable or With block variable not set"));
    return *m_instrument;
}

// ---- the logging run ------------------------------------------------------------

void kest721Assistant::StartLog()
{
    if (!m_instrument)
        return;
    if (!Initialized()) {
        ask(applicationTitle, QStringLiteral("The 721 Control has not been initialized."),
            {buttonOK});
        return;
    }
    // The meter integrates or logs, not both at once.
    if (windows().integrationRunning()) {
        ask(applicationTitle, textIntegrationRunning, {buttonOK});
        return;
    }
    // One sampling clock serves the whole server: a second run would take it
    // from the first, whose readings would stop without a word.
    if (otherRunGoing()) {
        ask(applicationTitle, textOtherRunGoing.arg(g_logRunner->m_logSerial), {buttonOK});
        return;
    }
    // A host that initialised the instrument through Control has no display yet.
    ensureDisplay();
    InstrumentDisplay &d = *m_display;
    // A run that is going is restarted: its clock stops now and starts again
    // at the next reading; the stream is ended before it is started afresh,
    // so the meter never gets a second "T" while it streams.
    const bool restarting = m_runActive;
    m_linkLost = m_resumePending = false;
    if (restarting) {
        stopClock();
        m_runActive = false;
        ignoringErrors("StopLog", [this] { m_instrument->StopLog(); });
    }
    d.Reset();
    d.setUseAcknowledge(modAlarm::GetUseAcknowledge());
    modAlarm::ResetAlarm();
    d.setAlarmState(modAlarm::AckNormal);
    if (modAlarm::GetAlarmEnabled()) {
        const QString unit = m_instrument->Units() == control::unitR ? QStringLiteral(" mR/h")
                                                                     : QStringLiteral(" uSv/h");
        d.setAlarmValue(modCalc::NumberText(modAlarm::GetAlarmPoint()) + unit);
    } else {
        d.setAlarmValue(QStringLiteral("Disabled"));
    }
    d.setColors(uint32_t(modAlarm::ColorAckNormal), uint32_t(modAlarm::ColorUnAckAlarm),
                uint32_t(modAlarm::ColorAckAlarm), uint32_t(modAlarm::ColorUnAckNormal));
    d.Show();
    d.ShowMessage(QStringLiteral("Please Wait..."));

    QPointer<kest721Assistant> self(this);
    try {
        m_instrument->StartLog();
    } catch (const platform::AutomationError &e) {
        ask(applicationTitle, e.description(), {buttonOK});
        if (self && m_display)
            m_display->Hide();
        return;
    }
    m_logStartPending = true;
    m_runActive = true;
    g_logRunner = this;
    m_logRun = beginJournalRun(int(Journal::Kind::Log));
    m_logRows = 0;
    m_logSerial.clear();
    ignoringErrors("SerialNumber", [this] { m_logSerial = m_instrument->SerialNumber(); });
    publishState("logging");
    emit LogStarted();
}

void kest721Assistant::StopLog()
{
    endRun(true);
}

void kest721Assistant::endRun(bool stopInstrument)
{
    // A reading queued behind this call belongs to no run any more.
    m_runActive = false;
    m_linkLost = m_resumePending = false;
    endJournalRun(m_logRun);
    if (m_display)
        m_display->ShowMessage(QStringLiteral("Please wait..."));
    stopClock();
    if (stopInstrument && hasInstrument())
        ignoringErrors("StopLog", [this] { m_instrument->StopLog(); });
    if (m_display)
        m_display->Hide();
    publishState("connected");
    emit LogStopped();
}

void kest721Assistant::onLiveData(control::Measurement measured)
{
    // Readings that come after the run has ended (the meter finishing its
    // stream, or a host polling the instrument itself) are not the run's.
    if (!m_runActive || !m_display)
        return;
    try {
        InstrumentDisplay &d = *m_display;
        d.Show();
        d.setValue(measured.Value);
        d.setUnits(measured.UnitString);
        d.setScaleNumber(scaleNumberOf(measured.UnitString));
        toAlarmUnits(measured);
        m_lastValue = measured.Value;
        m_lastUnit = alarmUnitsText(measured);
        m_lastRange = measured.UnitString;
        modAlarm::EvaluateAlarm(m_lastValue);
        const modAlarm::enumAlarmState state = modAlarm::ComputeAlarmState();
        if (state != modAlarm::PreviousAlarmState()) {
            d.setAlarmState(state);
            emit alarmStateChanged(state);
        }
        if (modAlarm::GetPlayAlarmSound() && state == modAlarm::UnackAlarm && m_services.sound)
            m_services.sound->play(alarmSoundAlias);
        if (m_logStartPending) {
            modTimer::RestartTimer(this, true);
            m_logStartPending = false;
        } else if (modTimer::DurationElapsed()) {
            StopLog();
            return;
        } else if (std::exchange(m_resumePending, false)) {
            modTimer::ResumeTimer(this);
        }
        m_alarmColor = modAlarm::CurrentAlarmColor().toInt();
    } catch (const platform::AutomationError &e) {
        qCWarning(lcAssistant).noquote() << "reading not handled:" << e.description();
    }
}

void kest721Assistant::onLiveDataError()
{
    if (m_runActive && !m_linkLost) {
        // The stream has ended: sampling on would repeat the last reading as
        // if the meter had sent it. The run waits for StopLog or ResumeLog.
        qCWarning(lcAssistant) << "the link to the meter was lost during a run";
        m_linkLost = true;
        m_meterLost = true;
        m_resumePending = false;
        stopClock();
        markJournal(int(Journal::EventKind::LinkLost));
        if (m_display)
            m_display->ShowMessage(textConnectionLost);
        publishState("connection-lost");
    }
    emit LiveDataError();
}

void kest721Assistant::ResumeLog()
{
    if (!isLinkLost() || !hasInstrument())
        throw platform::AutomationError(5, programName(),
                                        QStringLiteral("No logging run is waiting for its meter."));
    norvale::control::kest720Proxy &k = *m_instrument;
    // The run's meter is looked for on the port it was connected on: the
    // shared port setting may since name another host's meter. A setting
    // changed since (the adapter plugged in elsewhere) is tried next.
    std::vector<int16_t> ports{m_port};
    if (modMain::ComPort != m_port)
        ports.push_back(modMain::ComPort);
    std::optional<platform::AutomationError> firstError;
    for (const int16_t port : ports) {
        try {
            reopenRunMeter(port);
            m_port = port;
            firstError.reset();
            break;
        } catch (const platform::AutomationError &e) {
            if (!firstError)
                firstError = e;
        }
    }
    if (firstError)
        throw *firstError;
    k.StartLog();
    // A box answered or an event handled during the calls above may have ended the run.
    if (!m_runActive) {
        ignoringErrors("StopLog", [&] { k.StopLog(); });
        throw platform::AutomationError(5, programName(),
                                        QStringLiteral("No logging run is waiting for its meter."));
    }
    qCInfo(lcAssistant) << "the run goes on with its meter";
    m_linkLost = m_meterLost = false;
    markJournal(int(Journal::EventKind::LinkRestored));
    publishState("logging");
    // The clock starts again at the first new reading, so that no sample
    // repeats the last one from before the gap.
    m_resumePending = true;
}

void kest721Assistant::reopenRunMeter(int16_t port)
{
    norvale::control::kest720Proxy &k = *m_instrument;
    ignoringErrors("ClosePort", [&] { k.ClosePort(); });
    k.setPort(port);
    try {
        k.OpenPort();
        k.Initialize();
    } catch (const platform::AutomationError &e) {
        throw withPort(e, port);
    }
    // Readings of another meter are not this run's.
    const QString serial = k.SerialNumber();
    if (!m_logSerial.isEmpty() && serial != m_logSerial) {
        ignoringErrors("ClosePort", [&] { k.ClosePort(); });
        throw platform::AutomationError(
            5, programName(),
            QStringLiteral("The meter on the port (serial number %1) is not "
                           "the one of the run (serial number %2).")
                .arg(serial, m_logSerial));
    }
}

void kest721Assistant::SetRunInfo(const QString &location, const QString &note,
                                  const QString &operatorName)
{
    m_runLocation = location;
    m_runNote = note;
    m_runOperator = operatorName;
}

void kest721Assistant::RaiseLiveData()
{
    const QDateTime now = QDateTime::currentDateTime();
    const double stamp = spreadsheetDate(now);
    // Kept before it is sent: a host that dies with the event in flight
    // loses nothing.
    if (m_services.journal && m_logRun) {
        Journal::Row row;
        row.seq = ++m_logRows;
        row.stamp = stamp;
        row.value = m_lastValue;
        row.unit = m_lastUnit;
        row.alarmColor = m_alarmColor;
        row.utc = now.toMSecsSinceEpoch();
        row.alarmState = int(modAlarm::ComputeAlarmState());
        row.rangeLabel = m_lastRange;
        if (!m_services.journal->append(m_logRun, row))
            journalFailed();
        else if (m_services.feed)
            m_services.feed->rowKept(m_logSerial, m_logRun, row);
        syncJournalSoon();
    }
    emit LiveData(m_lastValue, m_alarmColor, stamp);
}

qint64 kest721Assistant::beginJournalRun(int kind)
{
    if (!m_services.journal)
        return 0;
    QString serial;
    Journal::RunInfo info;
    ignoringErrors("SerialNumber", [&] {
        if (!hasInstrument())
            return;
        serial = m_instrument->SerialNumber();
        info.model = modelName(m_instrument->Model());
        info.units = m_instrument->Units() == control::unitSv ? QStringLiteral("uSv/h")
                                                              : QStringLiteral("mR/h");
    });
    info.alarmEnabled = modAlarm::GetAlarmEnabled();
    info.alarmPoint = QString::number(modAlarm::GetAlarmPoint(), 'g', 15);
    info.intervalSeconds = modTimer::GetTimerInterval();
    info.lengthSeconds = modTimer::GetTimerDuration();
    info.location = m_runLocation;
    info.note = m_runNote;
    info.operatorName = m_runOperator.isEmpty() ? loginName() : m_runOperator;
    info.software = QCoreApplication::applicationVersion();
    info.timeZone = QString::fromUtf8(QTimeZone::systemTimeZoneId());
    const qint64 run =
        m_services.journal->beginRun(static_cast<Journal::Kind>(kind),
                                     spreadsheetDate(QDateTime::currentDateTime()), serial, info);
    if (!run)
        journalFailed();
    return run;
}

void kest721Assistant::endJournalRun(qint64 &run)
{
    if (m_services.journal && run &&
        !m_services.journal->endRun(run, QDateTime::currentMSecsSinceEpoch()))
        journalFailed();
    run = 0;
}

void kest721Assistant::markJournal(int kind, const QString &detail)
{
    if (!m_services.journal || !m_logRun)
        return;
    if (!m_services.journal->addEvent(m_logRun, {QDateTime::currentMSecsSinceEpoch(),
                                                 static_cast<Journal::EventKind>(kind), detail}))
        journalFailed();
}

// What a broker's subscribers learn of this meter: its details once it has
// answered Connect, then each change of its state.
void kest721Assistant::publishConnected()
{
    if (!m_services.feed)
        return;
    PublishFeed::Meter meter;
    ignoringErrors("SerialNumber", [&] {
        if (!hasInstrument())
            return;
        meter.serial = m_instrument->SerialNumber();
        meter.model = modelName(m_instrument->Model());
        meter.units = m_instrument->Units() == control::unitSv ? QStringLiteral("uSv/h")
                                                               : QStringLiteral("mR/h");
    });
    meter.alarmEnabled = modAlarm::GetAlarmEnabled();
    meter.alarmPoint = modAlarm::GetAlarmPoint();
    meter.software = QCoreApplication::applicationVersion();
    if (const std::optional<Calibration> c = storedCalibration(meter.serial))
        meter.calibrationDue = c->due;
    m_feedSerial = meter.serial;
    m_services.feed->meterConnected(meter);
    publishState("connected");
}

void kest721Assistant::publishState(const char *state)
{
    if (m_services.feed && !m_feedSerial.isEmpty())
        m_services.feed->meterState(m_feedSerial, state);
}

void kest721Assistant::syncJournalSoon()
{
    if (std::exchange(m_journalSyncPending, true))
        return;
    // Half a second after a whole-second sample, far from the next one.
    QTimer::singleShot(500, this, [this] {
        m_journalSyncPending = false;
        if (m_services.journal && !m_services.journal->sync())
            journalFailed();
    });
}

void kest721Assistant::journalFailed()
{
    const QString why = m_services.journal->lastError();
    qCWarning(lcAssistant).noquote() << "journal:" << why;
    if (std::exchange(m_journalFailureShown, true))
        return;
    // Told once, and without holding up the event that is on its way.
    QPointer<kest721Assistant> self(this);
    QTimer::singleShot(0, this, [self, why] {
        if (self)
            self->ask(applicationTitle,
                      QStringLiteral("The readings cannot be kept in the journal on this "
                                     "computer (%1). The run goes on; the spreadsheet still "
                                     "receives every reading.")
                          .arg(why),
                      {buttonOK});
    });
}

void kest721Assistant::RaiseDoseRate(double Dose, double AverageRate)
{
    if (m_services.feed && !m_feedSerial.isEmpty()) {
        QString unit = QStringLiteral("mR/h");
        ignoringErrors("Units", [&] {
            if (hasInstrument() && m_instrument->Units() == control::unitSv)
                unit = QStringLiteral("uSv/h");
        });
        m_services.feed->doseMeasured(m_feedSerial, Dose, AverageRate, unit);
    }
    emit DoseRate(Dose, AverageRate);
}

// ---- the log download -------------------------------------------------------------

void kest721Assistant::DownloadLog()
{
    m_msg = windows().createStatusWindow();
    m_msg->Message(QStringLiteral("Downloading internal data log...\r\nPlease Wait"),
                   connectionTitle);
    norvale::control::kest720Proxy &k = Control();
    (void)k.Units(); // an instrument that is not initialised fails here
    k.StartLogDownload();
    m_downloading = true;
    m_downloadRun = beginJournalRun(int(Journal::Kind::Download));
    m_downloadRows = 0;
}

void kest721Assistant::onDataDownload(float DegreesC, control::Measurement measured)
{
    toAlarmUnits(measured);
    if (m_services.journal) {
        // A host that started the download through Control gets a journal run too.
        if (!m_downloadRun) {
            m_downloadRun = beginJournalRun(int(Journal::Kind::Download));
            m_downloadRows = 0;
        }
        // The meter sends tenths of a degree; the float that carries them is
        // kept as its shortest decimal (21.8, not 21.799999237).
        Journal::Row row;
        row.seq = ++m_downloadRows;
        row.stamp = spreadsheetDate(QDateTime::currentDateTime());
        row.value = measured.Value;
        row.unit = alarmUnitsText(measured);
        row.degreesC = QString::number(DegreesC).toDouble();
        row.rangeLabel = measured.UnitString;
        if (m_downloadRun && !m_services.journal->append(m_downloadRun, row))
            journalFailed();
        syncJournalSoon();
    }
    emit DataDownload(DegreesC, measured);
}

void kest721Assistant::onDataDownloadComplete()
{
    m_downloading = false;
    if (m_services.feed && m_downloadRun)
        m_services.feed->downloadKept(m_downloadRun);
    endJournalRun(m_downloadRun);
    emit DataDownLoadComplete();
    closeDownloadWindow();
}

void kest721Assistant::onDataDownloadError()
{
    m_downloading = false;
    endJournalRun(m_downloadRun);
    emit DataDownloadError();
    closeDownloadWindow();
}

void kest721Assistant::closeDownloadWindow()
{
    if (m_msg)
        m_msg->Hide();
    m_msg.reset();
}

// ---- dialogs and help ---------------------------------------------------------------

void kest721Assistant::ShowProperties()
{
    windows().showProperties(*this);
}
void kest721Assistant::ShowOptions()
{
    windows().showOptions(*this);
}
void kest721Assistant::ShowIntegrate()
{
    windows().showIntegrate(*this);
}
void kest721Assistant::ShowAbout()
{
    windows().showAbout(*this);
}

void kest721Assistant::ShowHelp()
{
    const QString &file = m_services.helpFile;
    if (file.isEmpty() || !QFileInfo(file).isReadable())
        throw platform::AutomationError(
            53, programName(),
            QStringLiteral("File not found: %1")
                .arg(file.isEmpty() ? QStringLiteral("721Assistant.html") : file));
    if (!m_services.openHelp || !m_services.openHelp(file))
        throw platform::AutomationError(
            440, programName(), QStringLiteral("The help viewer could not open %1").arg(file));
}

} // namespace norvale::assistant
