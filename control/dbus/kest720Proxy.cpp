#include "control/dbus/kest720Proxy.h"

#include "kest720_events_interface.h"
#include "kest720_interface.h"

#include <QDBusArgument>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QEventLoop>

using norvale::platform::AutomationError;
using norvale::platform::RemoteObject;

namespace norvale::control
{

namespace
{
RemoteObject createRemote(const QDBusConnection &connection, QDBus::CallMode mode)
{
    registerTypes();
    return RemoteObject::create(connection, serviceName, norvale::platform::callTimeoutMs, mode);
}

template <typename Reply> Reply finished(Reply reply, QDBus::CallMode mode)
{
    if (mode == QDBus::BlockWithGui && !reply.isFinished()) {
        // The caller's windows, timers and incoming calls go on meanwhile.
        QDBusPendingCallWatcher watcher(reply);
        QEventLoop loop;
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }
    reply.waitForFinished();
    if (reply.isError())
        throw norvale::platform::fromDBusError(reply.error());
    return reply;
}

AutomationError wrongType(const char *name)
{
    return AutomationError(
        norvale::platform::error::typeMismatch, norvale::platform::error::busSource,
        QStringLiteral("%1 came back with a value of the wrong type").arg(QLatin1StringView(name)));
}
} // namespace

kest720Proxy::kest720Proxy(QDBusConnection connection, QObject *parent, QDBus::CallMode mode)
    : QObject(parent), m_remote(createRemote(connection, mode))
{
    m_interface = std::make_unique<Kest720Interface>(m_remote.service(), m_remote.path(),
                                                     m_remote.connection());
    m_interface->setTimeout(m_remote.timeoutMs());
    m_events = std::make_unique<Kest720EventsInterface>(m_remote.service(), m_remote.path(),
                                                        m_remote.connection());
    connect(m_events.get(), &Kest720EventsInterface::LiveData, this, &kest720Proxy::LiveData);
    connect(m_events.get(), &Kest720EventsInterface::LiveDataError, this,
            &kest720Proxy::LiveDataError);
    connect(m_events.get(), &Kest720EventsInterface::DataDownload, this,
            [this](double degreesC, const Measurement &m) {
                emit DataDownload(static_cast<float>(degreesC), m);
            });
    connect(m_events.get(), &Kest720EventsInterface::DataDownloadComplete, this,
            &kest720Proxy::DataDownloadComplete);
    connect(m_events.get(), &Kest720EventsInterface::DataDownloadError, this,
            &kest720Proxy::DataDownloadError);
}

kest720Proxy::~kest720Proxy()
{
    try {
        Release();
    } catch (const AutomationError &) {
        // The server has gone, and the object with it.
    }
}

void kest720Proxy::Release()
{
    if (m_released)
        return;
    m_released = true;
    m_remote.release();
}

void kest720Proxy::call(const char *member) const
{
    m_remote.call(norvale::control::interfaceName, QString::fromLatin1(member));
}

QVariant kest720Proxy::get(const char *name) const
{
    return m_remote.property(norvale::control::interfaceName, QString::fromLatin1(name));
}

void kest720Proxy::set(const char *name, const QVariant &value)
{
    m_remote.setProperty(norvale::control::interfaceName, QString::fromLatin1(name), value);
}

int16_t kest720Proxy::getInt16(const char *name) const
{
    const QVariant v = get(name);
    if (v.metaType() != QMetaType::fromType<short>())
        throw wrongType(name);
    return v.value<short>();
}

int32_t kest720Proxy::getInt32(const char *name) const
{
    const QVariant v = get(name);
    if (v.metaType() != QMetaType::fromType<int>())
        throw wrongType(name);
    return v.toInt();
}

control::Ranges kest720Proxy::Ranges() const
{
    const QVariant v = get("Ranges");
    if (v.metaType() != QMetaType::fromType<QDBusArgument>() ||
        v.value<QDBusArgument>().currentSignature() != QLatin1StringView("a(snds)"))
        throw wrongType("Ranges");
    return norvale::control::fromList(qdbus_cast<RangeList>(v));
}

void kest720Proxy::setRanges(const control::Ranges &ranges)
{
    set("Ranges", QVariant::fromValue(norvale::control::toList(ranges)));
}

bool kest720Proxy::Initialized() const
{
    return get("Initialized").toBool();
}
void kest720Proxy::setInitialized(bool value)
{
    set("Initialized", value);
}
void kest720Proxy::OpenPort()
{
    finished(m_interface->OpenPort(), m_remote.callMode());
}
void kest720Proxy::ClosePort()
{
    finished(m_interface->ClosePort(), m_remote.callMode());
}
void kest720Proxy::Initialize()
{
    finished(m_interface->Initialize(), m_remote.callMode());
}
int16_t kest720Proxy::Port() const
{
    return getInt16("Port");
}
void kest720Proxy::setPort(int16_t port)
{
    set("Port", QVariant::fromValue<short>(port));
}
void kest720Proxy::StartLog()
{
    finished(m_interface->StartLog(), m_remote.callMode());
}
void kest720Proxy::StopLog()
{
    finished(m_interface->StopLog(), m_remote.callMode());
}
void kest720Proxy::StartIntegrate()
{
    finished(m_interface->StartIntegrate(), m_remote.callMode());
}
void kest720Proxy::ClearLog()
{
    finished(m_interface->ClearLog(), m_remote.callMode());
}
int16_t kest720Proxy::AlarmRange() const
{
    return getInt16("AlarmRange");
}
void kest720Proxy::setAlarmRange(int16_t n)
{
    set("AlarmRange", QVariant::fromValue<short>(n));
}
int16_t kest720Proxy::AlarmPercent() const
{
    return getInt16("AlarmPercent");
}
void kest720Proxy::setAlarmPercent(int16_t n)
{
    set("AlarmPercent", QVariant::fromValue<short>(n));
}
void kest720Proxy::StartLogDownload()
{
    finished(m_interface->StartLogDownload(), m_remote.callMode());
}
int16_t kest720Proxy::SampleRate() const
{
    return getInt16("SampleRate");
}
void kest720Proxy::setSampleRate(int16_t n)
{
    set("SampleRate", QVariant::fromValue<short>(n));
}
TYPE_UNITS kest720Proxy::Units() const
{
    return static_cast<TYPE_UNITS>(getInt32("Units"));
}
void kest720Proxy::setUnits(TYPE_UNITS u)
{
    set("Units", QVariant::fromValue<int>(u));
}
TYPE_MODEL kest720Proxy::Model() const
{
    return static_cast<TYPE_MODEL>(getInt32("Model"));
}
TYPE_CLEARLOG kest720Proxy::ClearLogSetting() const
{
    return static_cast<TYPE_CLEARLOG>(getInt32("ClearLogSetting"));
}
void kest720Proxy::setClearLogSetting(TYPE_CLEARLOG v)
{
    set("ClearLogSetting", QVariant::fromValue<int>(v));
}
TYPE_MODEBUTTON kest720Proxy::ModeButton() const
{
    return static_cast<TYPE_MODEBUTTON>(getInt32("ModeButton"));
}
void kest720Proxy::setModeButton(TYPE_MODEBUTTON v)
{
    set("ModeButton", QVariant::fromValue<int>(v));
}
void kest720Proxy::WriteToEEPROM()
{
    finished(m_interface->WriteToEEPROM(), m_remote.callMode());
}
QString kest720Proxy::SerialNumber() const
{
    return get("SerialNumber").toString();
}
void kest720Proxy::Disconnect(bool Save)
{
    finished(m_interface->Disconnect(Save), m_remote.callMode());
}
double kest720Proxy::GetDose()
{
    return finished(m_interface->GetDose(), m_remote.callMode()).value();
}
bool kest720Proxy::AutoScaleEnable() const
{
    return get("AutoScaleEnable").toBool();
}
void kest720Proxy::setAutoScaleEnable(bool v)
{
    set("AutoScaleEnable", v);
}
TYPE_PREFIX kest720Proxy::AutoScale() const
{
    return static_cast<TYPE_PREFIX>(getInt32("AutoScale"));
}
void kest720Proxy::setAutoScale(TYPE_PREFIX v)
{
    set("AutoScale", QVariant::fromValue<int>(v));
}
QString kest720Proxy::CurrentScale() const
{
    return get("CurrentScale").toString();
}
void kest720Proxy::setCurrentScale(const QString &v)
{
    set("CurrentScale", v);
}

} // namespace norvale::control
