#pragma once
// kest721Assistant: the object a spreadsheet host drives. It owns one
// instrument object of the kest720 server, the virtual display, the status
// windows, the logging run and its alarm, and raises the host's events.
#include "control/Measurement.h"
#include "assistant/modTimer.h"

#include <QDBusServiceWatcher>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace norvale::control
{
class kest720Proxy;
}

namespace norvale::assistant
{

class AlarmSound;
class AssistantWindows;
class InstrumentDisplay;
class Journal;
class Prompter;
class PublishFeed;
class StatusWindow;

// The title of the Assistant's own boxes.
inline const QString applicationTitle = QStringLiteral("721 Assistant");
inline const QString alarmSoundAlias = QStringLiteral("Avo721Alarm");

// A local date and time as a spreadsheet date number: days since
// 1899-12-30 00:00, the time of day (whole seconds) as the fraction.
double spreadsheetDate(const QDateTime &local);

class kest721Assistant : public QObject, public modTimer::ClockOwner
{
    Q_OBJECT
public:
    struct Services {
        // Creates an instrument object; throws AutomationError when it cannot.
        std::function<std::unique_ptr<norvale::control::kest720Proxy>()> makeInstrument;
        Prompter *prompts = nullptr;
        AlarmSound *sound = nullptr;
        // The windows it shows; none shows nothing (an unattended Assistant).
        AssistantWindows *windows = nullptr;
        // Where every relayed reading and record is kept; none keeps nothing.
        Journal *journal = nullptr;
        // Told what the journal keeps and how the meter stands, to hand on to a
        // broker; none tells nobody.
        PublishFeed *feed = nullptr;
        // The help document to open, and how to open it; an opener that
        // returns false fails ShowHelp.
        QString helpFile;
        std::function<bool(const QString &file)> openHelp;
    };

    // Construction creates the instrument object (a failure is remembered,
    // not raised) and loads the settings.
    explicit kest721Assistant(Services services, QObject *parent = nullptr);
    // Destruction: the clock stops, a running stream ends, the port closes,
    // the settings are saved and the instrument object is released.
    ~kest721Assistant() override;

    // ---- the interface, in its order --------------------------------------
    void Connect();
    void Disconnect();
    bool Initialized() const;
    void StartLog();
    void StopLog();
    void ShowProperties();
    void ShowOptions();
    void DownloadLog();
    void ShowIntegrate();
    void ShowAbout();
    void ShowHelp();
    // The instrument object; throws when there is none.
    norvale::control::kest720Proxy &Control() const;

    // ---- the house interface ----------------------------------------------------
    // Reconnects the meter of a run whose link was lost and continues that
    // run into the same journal run. Opens no box: throws AutomationError
    // (error 5 when no run is waiting for its meter) and the run keeps waiting.
    void ResumeLog();
    // Where, why and by whom the next logging runs and downloads are made,
    // kept with each run in the journal. An empty operator is the login name.
    void SetRunInfo(const QString &location, const QString &note, const QString &operatorName);

    // ---- inside the server ---------------------------------------------------
    void RaiseLiveData() override;
    void RaiseDoseRate(double Dose, double AverageRate);

    // A modal box of this object (its dialogs' boxes too), answerable on the bus.
    QString ask(const QString &title, const QString &text, const QStringList &buttons);
    // The bus name of the client whose calls wait on this object's boxes.
    void setWaiter(const QString &name) { m_waiter = name; }
    // The name by which the boxes of this object are known (its path).
    void setBoxOwner(const QString &name) { m_boxOwner = name; }
    InstrumentDisplay *display() const { return m_display.get(); }
    bool isLogging() const { return m_runActive; }
    bool isDownloading() const { return m_downloading; }
    // True while a logging run waits for its meter to answer again.
    bool isLinkLost() const { return m_runActive && m_linkLost; }
    // True while an instrument object is held and its server is alive.
    bool hasInstrument() const { return m_instrument && !m_instrumentGone; }

signals:
    void DataDownload(float DegreesC, const control::Measurement &measured);
    void DataDownLoadComplete();
    void DataDownloadError();
    void LiveData(double measured, int32_t AlarmColor, double TimeStamp);
    void LiveDataError();
    void Connected();
    void Disconnected();
    void LogStarted();
    void LogStopped();
    void DoseRate(double Dose, double AverageDoseRate);
    // The display object was created (by the first Connect).
    void displayCreated();
    // A reading changed the display's alarm state.
    void alarmStateChanged(int state);

private:
    AssistantWindows &windows() const;
    void createInstrument();
    // On first use: the meter's own alarm level becomes the alarm point.
    void adoptMeterAlarm();
    // True while another Assistant of this server has a logging run going.
    bool otherRunGoing() const;
    // Opens `port` again and checks that the run's meter is there.
    void reopenRunMeter(int16_t port);
    void ensureDisplay();
    void stopClock();
    void releaseInstrument();
    void instrumentGone();
    void endRun(bool stopInstrument);
    void closeDownloadWindow();
    qint64 beginJournalRun(int kind);
    void endJournalRun(qint64 &run);
    void markJournal(int kind, const QString &detail = {});
    void journalFailed();
    void syncJournalSoon();
    void publishConnected();
    void publishState(const char *state);

    void onLiveData(control::Measurement measured);
    void onLiveDataError();
    void onDataDownload(float DegreesC, control::Measurement measured);
    void onDataDownloadComplete();
    void onDataDownloadError();

    Services m_services;
    std::unique_ptr<norvale::control::kest720Proxy> m_instrument; // gkest720
    std::unique_ptr<InstrumentDisplay> m_display; // kest720Display
    std::unique_ptr<StatusWindow> m_msg;          // mMsg
    std::unique_ptr<QDBusServiceWatcher> m_watcher;
    double m_lastValue = 0;   // mLastValue, mR/h or uSv/h
    int32_t m_alarmColor = 0; // mAlarmColor
    bool m_logStartPending = false;
    bool m_runActive = false;
    bool m_downloading = false;
    bool m_instrumentGone = false;
    bool m_linkLost = false;      // the run's stream failed; the clock is stopped
    bool m_resumePending = false; // the clock starts again at the next reading
    bool m_meterLost = false;     // the run lost its link: no meter until Connect or ResumeLog
    QString m_logSerial;          // of the meter the run began with
    int16_t m_port = 0;           // the port this Assistant's meter was connected on
    QString m_feedSerial;         // of the connected meter, as the feed knows it
    QString m_waiter;
    QString m_boxOwner;
    QString m_lastUnit;                              // of mLastValue: "mR/h" or "uSv/h"
    QString m_lastRange;                             // the meter's range text of mLastValue
    QString m_runLocation, m_runNote, m_runOperator; // SetRunInfo
    qint64 m_logRun = 0;                             // the journal's run of the logging run
    qint64 m_logRows = 0;
    qint64 m_downloadRun = 0; // and of the download
    qint64 m_downloadRows = 0;
    bool m_journalFailureShown = false;
    // Settings that could not be read (defaults in use), told on the first Connect.
    QStringList m_unreadSettings;
    bool m_journalSyncPending = false;
};

// The meter's own alarm level in mR/h or uSv/h, as "Get 721 Alarm" reads it:
// the percentage of the scale of the meter's alarm range `range` (6 is "No
// Blink", the alarm off). Empty when the range is not in the meter's table.
// Throws AutomationError when the meter cannot be read.
std::optional<double> meterAlarmLevel(norvale::control::kest720Proxy &k, int16_t range);

// The Assistant that last began a Connect (the dose integration reports to it).
kest721Assistant *gAssistant();

} // namespace norvale::assistant
