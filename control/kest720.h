#pragma once
// The instrument control class: drives one 721 meter on one serial port.
//
// Everything runs on the owner's thread. Waits pump the event loop, so calls
// from clients, timer ticks and signal handlers can run nested inside an
// exchange; the stop flag mStopStream is the only coordination.
//
// Every failure of a public member is thrown as norvale::platform::AutomationError with
// number vbObjectError + 1, source "721 Control" and a fixed description.
// Errors of the serial layer (a closed or lost port) pass through unchanged.
#include "platform/Clock.h"
#include "control/Measurement.h"
#include "control/Ranges.h"
#include "platform/SerialLink.h"
#include "control/Types.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>

class kest720 : public QObject
{
    Q_OBJECT
public:
    using LinkFactory = std::function<std::unique_ptr<norvale::platform::SerialLink>()>;

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
    bool Initialized() const { return mInitialized; }
    void setInitialized(bool value) { mInitialized = value; }
    void OpenPort();
    void ClosePort();
    void Initialize();
    int16_t Port() const { return mPort; }
    void setPort(int16_t port) { mPort = port; }
    // Whom this object serves, for the errors of a second client asking for its port.
    void setClientName(const QString &name) { mClientName = name; }
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
    bool AutoScaleEnable() const { return mAutoScaleEnable; }
    void setAutoScaleEnable(bool v) { mAutoScaleEnable = v; }
    TYPE_PREFIX AutoScale() const { return mAutoScale; }
    void setAutoScale(TYPE_PREFIX v) { mAutoScale = v; }
    QString CurrentScale() const { return mCurrentScale; }
    void setCurrentScale(const QString &v) { mCurrentScale = v; }

    // ---- beyond the interface ----------------------------------------------
    LinkMode linkMode() const { return mLinkMode; }
    QChar page() const { return mPage; }
    bool isStreaming() const { return mLiveLoopDepth > 0; }
    bool isDownloading() const { return mDownloadLoopDepth > 0; }
    // True when a live-data or download loop is running on the stack: the
    // object must not be destroyed until it returns.
    bool isBusy() const { return mLiveLoopDepth > 0 || mDownloadLoopDepth > 0; }

    // What the protocol's pacing cost since the last reset: the mandatory
    // pauses, the number of replies awaited (each ends with 250 ms of quiet)
    // and the bytes that crossed. The benchmarks compare it with the time taken.
    struct PacingStats {
        qint64 pauseMs = 0;
        int waits = 0;
        qint64 bytesSent = 0;
        qint64 bytesReceived = 0;
    };
    const PacingStats &pacingStats() const { return mStats; }
    void resetPacingStats() { mStats = {}; }

    // Longest time one WaitForCom collects from a meter that never pauses.
    static constexpr int kWaitForComLimitMs = 6000;
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
    // Procedures of the serial dialogue.
    QString WaitForCom();
    bool StartCommandMode();
    bool EnterMonitorMode();
    void LeaveMonitorMode();
    void ExitStreamMode();
    void SendSlowly(const QString &text);
    bool ReadMemoryLocation(const QString &address, QStringList &bytes);
    bool SetMemoryLocation(const QString &address, QString &value);
    void Trace(const QString &text) const;
    int16_t UpdateRanges();
    int16_t Read720Settings();

    void TimerLiveData_Timer();
    void TimerDataLog_Timer();
    void LiveLoop();
    void DownloadLoop();
    void ParseDataDownload(const QString &line);

    void send(const QByteArray &bytes);
    QByteArray receive();
    void pause(int ms);
    void makeLink();
    norvale::platform::SerialLink &link();
    void emitIdleWhenDone();
    void waitIgnored() { WaitForCom(); }
    void rewriteFirstRangeForK();
    [[noreturn]] void raise(const QString &description) const;

    LinkFactory mFactory;
    norvale::platform::ClockSource &mClock;
    std::unique_ptr<norvale::platform::SerialLink> mOwnedComm;
    norvale::platform::SerialLink *mComm = nullptr; // empty only when the factory failed
    QTimer TimerLiveData;
    QTimer TimerDataLog;

    int16_t mPort = 0;
    QString mClientName;
    LinkMode mLinkMode = LinkMode::linkUnknown;
    QChar mPage = QLatin1Char('D');
    bool mStopStream = false;
    bool mInitialized = false;
    ::Ranges mRanges;
    TYPE_MODEL mModel = modelUnknown;
    TYPE_UNITS mUnits = unitUnknown;
    int16_t mAlarmPercent = 0;
    int16_t mAlarmRange = 0;
    int16_t mSampleRate = 0;
    TYPE_MODEBUTTON mModeButton = modebuttonDisabled;
    TYPE_CLEARLOG mClearLog = clearlogTurnOnOnly;
    QString mSerialNumber;
    QString mCurrentScale;
    bool mAutoScaleEnable = false;
    TYPE_PREFIX mAutoScale = prefixOne;

    PacingStats mStats;
    int mLiveLoopDepth = 0;
    int mDownloadLoopDepth = 0;
    bool mLastWaitCut = false;  // the last WaitForCom stopped at its limit
    bool mHeardTalking = false; // StartCommandMode heard a reply without the prompt
};

namespace kest720errors
{
inline const QString source = QStringLiteral("721 Control");
} // namespace kest720errors
