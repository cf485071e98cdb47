#pragma once
// The instrument control class: drives one 721 meter on one serial port.
//
// Everything runs on the owner's thread. Waits pump the event loop, so calls
// from clients, timer ticks and signal handlers can run nested inside an
// exchange; the link's stop flag is the only coordination.
//
// Every failure of a public member is thrown as norvale::platform::AutomationError with
// number vbObjectError + 1, source "721 Control" and a fixed description.
// Errors of the serial layer (a closed or lost port) pass through unchanged.
#include "control/Measurement.h"
#include "control/MeterLink.h"
#include "control/Ranges.h"
#include "control/Types.h"
#include "platform/Clock.h"
#include "platform/SerialLink.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>

class kest720 : public QObject
{
    Q_OBJECT
public:
    using LinkFactory = norvale::control::MeterLink::LinkFactory;

    explicit kest720(QObject *parent = nullptr);
    // For tests: the serial link is made by `factory` when the object is
    // created, and every pause, quiet time and time-out reads `clock` (the
    // system's when null).
    explicit kest720(LinkFactory factory, norvale::platform::ClockSource *clock = nullptr,
                     QObject *parent = nullptr);
    ~kest720() override;

    // ---- members in the order of the class's interface --------------------
    ::Ranges &Ranges();
    void setRanges(const ::Ranges &ranges);
    bool Initialized() const { return m_initialized; }
    void setInitialized(bool value) { m_initialized = value; }
    void OpenPort();
    void ClosePort();
    void Initialize();
    int16_t Port() const { return m_port; }
    void setPort(int16_t port) { m_port = port; }
    // Whom this object serves, for the errors of a second client asking for its port.
    void setClientName(const QString &name) { m_clientName = name; }
    void StartLog();
    void StopLog();
    void StartIntegrate();
    void ClearLog();
    int16_t AlarmRange() const;
    void setAlarmRange(int16_t n);
    int16_t AlarmPercent() const;
    void setAlarmPercent(int16_t n);
    void StartLogDownload();
    int16_t SampleRate() const;
    void setSampleRate(int16_t n);
    TYPE_UNITS Units() const;
    void setUnits(TYPE_UNITS u);
    TYPE_MODEL Model() const;
    TYPE_CLEARLOG ClearLogSetting() const;
    void setClearLogSetting(TYPE_CLEARLOG v);
    TYPE_MODEBUTTON ModeButton() const;
    void setModeButton(TYPE_MODEBUTTON v);
    void WriteToEEPROM();
    QString SerialNumber() const;
    void Disconnect(bool Save);
    double GetDose();
    bool AutoScaleEnable() const { return m_autoScaleEnable; }
    void setAutoScaleEnable(bool v) { m_autoScaleEnable = v; }
    TYPE_PREFIX AutoScale() const { return m_autoScale; }
    void setAutoScale(TYPE_PREFIX v) { m_autoScale = v; }
    QString CurrentScale() const { return m_currentScale; }
    void setCurrentScale(const QString &v) { m_currentScale = v; }

    // ---- beyond the interface ----------------------------------------------
    LinkMode linkMode() const { return m_link.mode(); }
    QChar page() const { return m_page; }
    bool isStreaming() const { return m_liveLoopDepth > 0; }
    bool isDownloading() const { return m_downloadLoopDepth > 0; }
    // True when a live-data or download loop is running on the stack: the
    // object must not be destroyed until it returns.
    bool isBusy() const { return m_liveLoopDepth > 0 || m_downloadLoopDepth > 0; }

    // What the protocol's pacing cost since the last reset (see MeterLink).
    using PacingStats = norvale::control::MeterLink::PacingStats;
    const PacingStats &pacingStats() const { return m_link.pacingStats(); }
    void resetPacingStats() { m_link.resetPacingStats(); }

    // Longest time one WaitForCom collects from a meter that never pauses.
    static constexpr int kWaitForComLimitMs = norvale::control::MeterLink::kWaitForComLimitMs;
    // Longest time from a stop request to the meter back at its prompt when
    // the meter stays silent: one pass of the stream loop, then seven passes
    // of 30 paced blanks and a reply wait that ends after 250 ms of quiet,
    // with room for the event handling in between.
    static constexpr int kStreamEndLimitMs = 100 + 7 * (30 * 10 + 250 + 100) + 500;

signals:
    void LiveData(const Measurement &measured);
    void LiveDataError();
    void DataDownload(float DegreesC, const Measurement &measured);
    void DataDownloadComplete();
    void DataDownloadError();
    // Emitted when the last loop on the stack has returned (isBusy() is false).
    void idle();

private:
    int16_t UpdateRanges();
    int16_t Read720Settings();

    void TimerLiveData_Timer();
    void TimerDataLog_Timer();
    void LiveLoop();
    void DownloadLoop();
    void ParseDataDownload(const QString &line);

    void emitIdleWhenDone();
    void rewriteFirstRangeForK();
    [[noreturn]] void raise(const QString &description) const;

    norvale::control::MeterLink m_link;
    QTimer TimerLiveData;
    QTimer TimerDataLog;

    int16_t m_port = 0;
    QString m_clientName;
    QChar m_page = QLatin1Char('D');
    bool m_initialized = false;
    ::Ranges m_ranges;
    TYPE_MODEL m_model = modelUnknown;
    TYPE_UNITS m_units = unitUnknown;
    int16_t m_alarmPercent = 0;
    int16_t m_alarmRange = 0;
    int16_t m_sampleRate = 0;
    TYPE_MODEBUTTON m_modeButton = modebuttonDisabled;
    TYPE_CLEARLOG m_clearLog = clearlogTurnOnOnly;
    QString m_serialNumber;
    QString m_currentScale;
    bool m_autoScaleEnable = false;
    TYPE_PREFIX m_autoScale = prefixOne;

    int m_liveLoopDepth = 0;
    int m_downloadLoopDepth = 0;
};

namespace kest720errors
{
inline const QString source = QStringLiteral("721 Control");
} // namespace kest720errors
