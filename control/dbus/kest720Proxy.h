#pragma once
// The client side of kest720: an object created in the kest720 server
// program, with the members and signals of the class. Every failure, the
// server's own or the bus's (server gone, call timed out), is thrown as
// norvale::platform::AutomationError.
#include "control/Types.h"
#include "control/dbus/Kest720DBusTypes.h"
#include "platform/automation/RemoteObject.h"

#include <QDBusConnection>
#include <QObject>
#include <memory>

// Generated from the XML, outside any namespace.
class Kest720Interface;
class Kest720EventsInterface;

namespace norvale::control
{

class kest720Proxy : public QObject
{
    Q_OBJECT
public:
    // Creates the object in the server (started by the bus when needed).
    // Throws AutomationError when no object could be created. With
    // QDBus::BlockWithGui every call runs the caller's event loop while it
    // waits, so its windows, timers and incoming calls go on.
    explicit kest720Proxy(QDBusConnection connection = QDBusConnection::sessionBus(),
                          QObject *parent = nullptr, QDBus::CallMode mode = QDBus::Block);
    // Releases the object; a server that has gone is not an error here.
    ~kest720Proxy() override;

    // ---- members in the order of the class's interface --------------------
    control::Ranges Ranges() const;
    void setRanges(const control::Ranges &ranges);
    bool Initialized() const;
    void setInitialized(bool value);
    void OpenPort();
    void ClosePort();
    void Initialize();
    int16_t Port() const;
    void setPort(int16_t port);
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
    bool AutoScaleEnable() const;
    void setAutoScaleEnable(bool v);
    TYPE_PREFIX AutoScale() const;
    void setAutoScale(TYPE_PREFIX v);
    QString CurrentScale() const;
    void setCurrentScale(const QString &v);

    // ---- beyond the interface ----------------------------------------------
    // Gives the object back now; later calls fail as calls to a gone object.
    void Release();
    const norvale::platform::RemoteObject &remote() const { return m_remote; }

signals:
    void LiveData(const Measurement &measured);
    void LiveDataError();
    void DataDownload(float DegreesC, const Measurement &measured);
    void DataDownloadComplete();
    void DataDownloadError();

private:
    void call(const char *member) const;
    QVariant get(const char *name) const;
    void set(const char *name, const QVariant &value);
    int16_t getInt16(const char *name) const;
    int32_t getInt32(const char *name) const;

    norvale::platform::RemoteObject m_remote;
    std::unique_ptr<Kest720Interface> m_interface;
    std::unique_ptr<Kest720EventsInterface> m_events;
    bool m_released = false;
};

} // namespace norvale::control
