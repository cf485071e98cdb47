#include "control/server/Kest720Servant.h"

#include "control/dbus/Kest720DBusTypes.h"
#include "platform/automation/Automation.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QFile>
#include <QTimer>

using norvale::platform::AutomationError;
using norvale::platform::ExportedObject;
using norvale::platform::MemberTable;

// Resources are initialised from the global namespace only.
static void initTypeLibraryResource()
{
    Q_INIT_RESOURCE(kest720_typelib);
}

namespace norvale::control
{

const QString Kest720Servant::errorSource = serviceName;

namespace
{
const QString I = interfaceName;
const QString E = eventInterfaceName;
// No StopLog reply waits longer than the meter's own pacing allows the stream's end to take.
constexpr int kStopLogReplyCapMs = kest720::kStreamEndLimitMs;

// The exporter has checked the D-Bus type; these only unwrap.
int16_t asInt16(const QVariant &v)
{
    return static_cast<int16_t>(v.value<short>());
}
int32_t asInt32(const QVariant &v)
{
    return v.value<int>();
}

template <typename T> QVariant enumValue(T v)
{
    return QVariant::fromValue<int>(v);
}
QVariant int16Value(int16_t v)
{
    return QVariant::fromValue<short>(v);
}

// The program that created the object ("kest721xl, process 812"), as the
// bus and /proc know it; its bus name when they do not.
QString clientName(const ExportedObject &object)
{
    const QDBusReply<uint> pid = object.connection().interface()->servicePid(object.owner());
    if (!pid.isValid() || pid.value() == 0)
        return object.owner();
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid.value()));
    const QString name = comm.open(QIODevice::ReadOnly)
                             ? QString::fromLocal8Bit(comm.readAll()).trimmed()
                             : QString();
    return name.isEmpty() ? QStringLiteral("process %1").arg(pid.value())
                          : QStringLiteral("%1, process %2").arg(name).arg(pid.value());
}
} // namespace

Kest720Servant::Kest720Servant(ExportedObject &object, std::unique_ptr<kest720> instrument)
    : m_instrument(std::move(instrument))
{
    registerTypes();
    m_instrument->setClientName(clientName(object));
    buildMembers(object);
    connectEvents(object);
}

Kest720Servant::~Kest720Servant()
{
    if (m_instrument)
        m_instrument->disconnect();
}

void Kest720Servant::connectEvents(ExportedObject &object)
{
    kest720 *k = m_instrument.get();
    QObject::connect(k, &kest720::LiveData, &object, [&object](const Measurement &m) {
        object.emitSignal(E, QStringLiteral("LiveData"), {QVariant::fromValue(m)});
    });
    QObject::connect(k, &kest720::LiveDataError, &object,
                     [&object] { object.emitSignal(E, QStringLiteral("LiveDataError"), {}); });
    QObject::connect(k, &kest720::DataDownload, &object,
                     [&object](float degreesC, const Measurement &m) {
                         object.emitSignal(E, QStringLiteral("DataDownload"),
                                           {static_cast<double>(degreesC), QVariant::fromValue(m)});
                     });
    QObject::connect(k, &kest720::DataDownloadComplete, &object, [&object] {
        object.emitSignal(E, QStringLiteral("DataDownloadComplete"), {});
    });
    QObject::connect(k, &kest720::DataDownloadError, &object,
                     [&object] { object.emitSignal(E, QStringLiteral("DataDownloadError"), {}); });
}

void Kest720Servant::buildMembers(ExportedObject &object)
{
    kest720 *k = m_instrument.get();
    MemberTable &t = m_members;
    auto method = [&t](const char *name, std::function<void()> f) {
        t.addMethod(I, QString::fromLatin1(name), [f](const QVariantList &) {
            f();
            return QVariantList{};
        });
    };
    auto int16Property = [&t](const char *name, std::function<int16_t()> get,
                              std::function<void(int16_t)> set) {
        t.addProperty(
            I, QString::fromLatin1(name), [get] { return int16Value(get()); },
            [set](const QVariant &v) { set(asInt16(v)); });
    };

    // In slot order.
    t.addProperty(
        I, QStringLiteral("Ranges"), [k] { return QVariant::fromValue(toList(k->Ranges())); },
        [k](const QVariant &v) { k->setRanges(fromList(qdbus_cast<RangeList>(v))); });
    t.addProperty(
        I, QStringLiteral("Initialized"), [k] { return QVariant(k->Initialized()); },
        [k](const QVariant &v) { k->setInitialized(v.toBool()); });
    method("OpenPort", [k] { k->OpenPort(); });
    method("ClosePort", [k] { k->ClosePort(); });
    method("Initialize", [k] { k->Initialize(); });
    int16Property(
        "Port", [k] { return k->Port(); }, [k](int16_t v) { k->setPort(v); });
    method("StartLog", [k] { k->StartLog(); });
    // StopLog arrives nested inside the running stream loop, which can only
    // end the stream after this call has returned: the caller gets its reply
    // once the meter is back at its prompt, so that its next command does not
    // meet a meter that is still being brought out of the stream. Another
    // object's stream nested above this one would hold it up, so the wait is
    // capped at what the end of a stream takes when the meter never answers.
    t.addMethod(I, QStringLiteral("StopLog"), [k, &object](const QVariantList &) {
        const bool streaming = k->isStreaming();
        k->StopLog();
        if (streaming) {
            const QDBusMessage call = object.delayReply();
            auto replied = std::make_shared<bool>(false);
            auto conn = std::make_shared<QMetaObject::Connection>();
            auto reply = [conn, call, replied, &object] {
                QObject::disconnect(*conn);
                if (std::exchange(*replied, true))
                    return;
                object.sendReply(call.createReply());
            };
            *conn = QObject::connect(k, &kest720::idle, &object, reply);
            QTimer::singleShot(kStopLogReplyCapMs, &object, reply);
        }
        return QVariantList{};
    });
    method("StartIntegrate", [k] { k->StartIntegrate(); });
    method("ClearLog", [k] { k->ClearLog(); });
    int16Property(
        "AlarmRange", [k] { return k->AlarmRange(); }, [k](int16_t v) { k->setAlarmRange(v); });
    int16Property(
        "AlarmPercent", [k] { return k->AlarmPercent(); },
        [k](int16_t v) { k->setAlarmPercent(v); });
    method("StartLogDownload", [k] { k->StartLogDownload(); });
    int16Property(
        "SampleRate", [k] { return k->SampleRate(); }, [k](int16_t v) { k->setSampleRate(v); });
    t.addProperty(
        I, QStringLiteral("Units"), [k] { return enumValue(k->Units()); },
        [k](const QVariant &v) { k->setUnits(static_cast<TYPE_UNITS>(asInt32(v))); });
    t.addProperty(I, QStringLiteral("Model"), [k] { return enumValue(k->Model()); });
    t.addProperty(
        I, QStringLiteral("ClearLogSetting"), [k] { return enumValue(k->ClearLogSetting()); },
        [k](const QVariant &v) { k->setClearLogSetting(static_cast<TYPE_CLEARLOG>(asInt32(v))); });
    t.addProperty(
        I, QStringLiteral("ModeButton"), [k] { return enumValue(k->ModeButton()); },
        [k](const QVariant &v) { k->setModeButton(static_cast<TYPE_MODEBUTTON>(asInt32(v))); });
    method("WriteToEEPROM", [k] { k->WriteToEEPROM(); });
    t.addProperty(I, QStringLiteral("SerialNumber"), [k] { return QVariant(k->SerialNumber()); });
    t.addMethod(I, QStringLiteral("Disconnect"), [k](const QVariantList &args) {
        k->Disconnect(args.at(0).toBool());
        return QVariantList{};
    });
    t.addMethod(I, QStringLiteral("GetDose"),
                [k](const QVariantList &) { return QVariantList{QVariant(k->GetDose())}; });
    t.addProperty(
        I, QStringLiteral("AutoScaleEnable"), [k] { return QVariant(k->AutoScaleEnable()); },
        [k](const QVariant &v) { k->setAutoScaleEnable(v.toBool()); });
    t.addProperty(
        I, QStringLiteral("AutoScale"), [k] { return enumValue(k->AutoScale()); },
        // Kept for the client and never used by the server: any value is stored.
        [k](const QVariant &v) { k->setAutoScale(static_cast<TYPE_PREFIX>(asInt32(v))); });
    t.addProperty(
        I, QStringLiteral("CurrentScale"), [k] { return QVariant(k->CurrentScale()); },
        [k](const QVariant &v) { k->setCurrentScale(v.toString()); });
}

void Kest720Servant::shutdown(std::function<void()> done)
{
    kest720 *k = m_instrument.get();
    auto finish = [k, done] {
        k->ClosePort();
        done();
    };
    if (!k->isBusy()) {
        finish();
        return;
    }
    // The loop runs on the stack below us: ask it to end and wait for it.
    auto conn = std::make_shared<QMetaObject::Connection>();
    *conn = QObject::connect(k, &kest720::idle, k, [conn, finish] {
        QObject::disconnect(*conn);
        finish();
    });
    try {
        if (k->isStreaming())
            k->StopLog();
        else
            k->ClosePort(); // the download loop has no stop flag; a closed port ends it
    } catch (const AutomationError &) {
        k->ClosePort();
    }
}

const norvale::platform::TypeLibrary &kest720TypeLibrary()
{
    static const norvale::platform::TypeLibrary lib = [] {
        initTypeLibraryResource();
        auto main = norvale::platform::loadTypeLibrary(
            QStringLiteral(":/norvale/typelib/Norvale720._kest720.xml"));
        const auto events = norvale::platform::loadTypeLibrary(
            QStringLiteral(":/norvale/typelib/Norvale720.__kest720.xml"));
        main.interfaces += events.interfaces;
        main.interfacesXml += events.interfacesXml;
        return main;
    }();
    return lib;
}

} // namespace norvale::control
