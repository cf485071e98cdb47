#include "control/server/Kest720Servant.h"

#include "control/dbus/Kest720DBusTypes.h"
#include "platform/automation/Automation.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QFile>
#include <QTimer>
#include <exception>
#include <optional>

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

Kest720Servant::Kest720Servant(ExportedObject &object, const InstrumentFactory &makeInstrument)
    : m_object(object)
{
    registerTypes();
    const QString client = clientName(object);
    m_thread.setObjectName(QStringLiteral("kest720 line"));
    m_thread.start();
    auto *onThread = new QObject;
    onThread->moveToThread(&m_thread);
    std::exception_ptr failure;
    QMetaObject::invokeMethod(
        onThread,
        [&] {
            try {
                m_instrument = makeInstrument();
                m_instrument->setClientName(client);
            } catch (...) {
                failure = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    onThread->deleteLater();
    if (failure) {
        m_thread.quit();
        m_thread.wait();
        std::rethrow_exception(failure);
    }
    buildMembers(object);
    connectEvents(object);
}

Kest720Servant::~Kest720Servant()
{
    // The instrument goes on its own thread, once no loop of it is on the
    // stack there (shut down, none is); the thread ends after it.
    kest720 *k = m_instrument.release();
    QMetaObject::invokeMethod(
        k,
        [k] {
            k->disconnect();
            if (k->isBusy()) {
                try {
                    if (k->isStreaming())
                        k->StopLog();
                    k->ClosePort();
                } catch (const AutomationError &) {
                }
            }
            k->deleteLater();
        },
        Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

template <typename F> auto Kest720Servant::onLine(F f) -> decltype(f())
{
    std::optional<decltype(f())> result;
    std::exception_ptr failure;
    QMetaObject::invokeMethod(
        m_instrument.get(),
        [&] {
            try {
                result = f();
            } catch (...) {
                failure = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (failure)
        std::rethrow_exception(failure);
    return std::move(*result);
}

void Kest720Servant::answerOnLine(ExportedObject &object, std::function<QVariantList()> f)
{
    const QDBusMessage call = object.delayReply();
    const QDBusConnection bus = object.connection();
    QMetaObject::invokeMethod(
        m_instrument.get(),
        [call, bus, f = std::move(f)] {
            QDBusMessage reply;
            try {
                reply = call.createReply(f());
            } catch (const AutomationError &e) {
                reply = errorReply(call, e);
            } catch (const std::exception &e) {
                reply = errorReply(call,
                                   AutomationError(norvale::platform::error::automationError,
                                                   errorSource, QString::fromLocal8Bit(e.what())));
            }
            if (call.isReplyRequired())
                bus.send(reply);
        },
        Qt::QueuedConnection);
}

void Kest720Servant::connectEvents(ExportedObject &object)
{
    // The events go out from the instrument's thread as they happen: the
    // bus connection may be used from any thread.
    kest720 *k = m_instrument.get();
    constexpr auto direct = Qt::DirectConnection;
    QObject::connect(
        k, &kest720::LiveData, k,
        [&object](const Measurement &m) {
            object.emitSignal(E, QStringLiteral("LiveData"), {QVariant::fromValue(m)});
        },
        direct);
    QObject::connect(
        k, &kest720::LiveDataError, k,
        [&object] { object.emitSignal(E, QStringLiteral("LiveDataError"), {}); }, direct);
    QObject::connect(
        k, &kest720::DataDownload, k,
        [&object](float degreesC, const Measurement &m) {
            object.emitSignal(E, QStringLiteral("DataDownload"),
                              {static_cast<double>(degreesC), QVariant::fromValue(m)});
        },
        direct);
    QObject::connect(
        k, &kest720::DataDownloadComplete, k,
        [&object] { object.emitSignal(E, QStringLiteral("DataDownloadComplete"), {}); }, direct);
    QObject::connect(
        k, &kest720::DataDownloadError, k,
        [&object] { object.emitSignal(E, QStringLiteral("DataDownloadError"), {}); }, direct);
}

void Kest720Servant::buildMembers(ExportedObject &object)
{
    kest720 *k = m_instrument.get();
    MemberTable &t = m_members;
    auto method = [this, &t, &object](const char *name, std::function<void()> f) {
        t.addMethod(I, QString::fromLatin1(name), [this, &object, f](const QVariantList &) {
            answerOnLine(object, [f] {
                f();
                return QVariantList{};
            });
            return QVariantList{};
        });
    };
    // Properties answer at once from the instrument's thread.
    auto property = [this, &t](const QString &name, std::function<QVariant()> get,
                               std::function<void(const QVariant &)> set = {}) {
        MemberTable::Setter setter;
        if (set)
            setter = [this, set](const QVariant &v) {
                onLine([&] {
                    set(v);
                    return true; // a value to hand back: the setter has none
                });
            };
        t.addProperty(
            I, name, [this, get] { return onLine(get); }, setter);
    };
    auto int16Property = [&property](const char *name, std::function<int16_t()> get,
                                     std::function<void(int16_t)> set) {
        property(
            QString::fromLatin1(name), [get] { return int16Value(get()); },
            [set](const QVariant &v) { set(asInt16(v)); });
    };

    // In slot order.
    property(
        QStringLiteral("Ranges"), [k] { return QVariant::fromValue(toList(k->Ranges())); },
        [k](const QVariant &v) { k->setRanges(fromList(qdbus_cast<RangeList>(v))); });
    property(
        QStringLiteral("Initialized"), [k] { return QVariant(k->Initialized()); },
        [k](const QVariant &v) { k->setInitialized(v.toBool()); });
    method("OpenPort", [k] { k->OpenPort(); });
    method("ClosePort", [k] { k->ClosePort(); });
    method("Initialize", [k] { k->Initialize(); });
    int16Property(
        "Port", [k] { return k->Port(); }, [k](int16_t v) { k->setPort(v); });
    method("StartLog", [k] { k->StartLog(); });
    // StopLog arrives while the stream loop runs, which can only end the
    // stream after this call has returned: the caller gets its reply once the
    // meter is back at its prompt, so that its next command does not meet a
    // meter that is still being brought out of the stream. The wait is capped
    // at what the end of a stream takes when the meter never answers.
    t.addMethod(I, QStringLiteral("StopLog"), [k, &object](const QVariantList &) {
        const QDBusMessage call = object.delayReply();
        const QDBusConnection bus = object.connection();
        QMetaObject::invokeMethod(
            k,
            [k, call, bus] {
                const bool streaming = k->isStreaming();
                try {
                    k->StopLog();
                } catch (const AutomationError &e) {
                    bus.send(errorReply(call, e));
                    return;
                }
                if (!streaming) {
                    bus.send(call.createReply());
                    return;
                }
                auto replied = std::make_shared<bool>(false);
                auto conn = std::make_shared<QMetaObject::Connection>();
                auto reply = [conn, call, replied, bus] {
                    QObject::disconnect(*conn);
                    if (std::exchange(*replied, true))
                        return;
                    bus.send(call.createReply());
                };
                *conn = QObject::connect(k, &kest720::idle, k, reply, Qt::DirectConnection);
                QTimer::singleShot(kStopLogReplyCapMs, k, reply);
            },
            Qt::QueuedConnection);
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
    property(
        QStringLiteral("Units"), [k] { return enumValue(k->Units()); },
        [k](const QVariant &v) { k->setUnits(static_cast<TYPE_UNITS>(asInt32(v))); });
    property(QStringLiteral("Model"), [k] { return enumValue(k->Model()); });
    property(
        QStringLiteral("ClearLogSetting"), [k] { return enumValue(k->ClearLogSetting()); },
        [k](const QVariant &v) { k->setClearLogSetting(static_cast<TYPE_CLEARLOG>(asInt32(v))); });
    property(
        QStringLiteral("ModeButton"), [k] { return enumValue(k->ModeButton()); },
        [k](const QVariant &v) { k->setModeButton(static_cast<TYPE_MODEBUTTON>(asInt32(v))); });
    method("WriteToEEPROM", [k] { k->WriteToEEPROM(); });
    property(QStringLiteral("SerialNumber"), [k] { return QVariant(k->SerialNumber()); });
    t.addMethod(I, QStringLiteral("Disconnect"), [this, k, &object](const QVariantList &args) {
        const bool save = args.at(0).toBool();
        answerOnLine(object, [k, save] {
            k->Disconnect(save);
            return QVariantList{};
        });
        return QVariantList{};
    });
    t.addMethod(I, QStringLiteral("GetDose"), [this, k, &object](const QVariantList &) {
        answerOnLine(object, [k] { return QVariantList{QVariant(k->GetDose())}; });
        return QVariantList{};
    });
    property(
        QStringLiteral("AutoScaleEnable"), [k] { return QVariant(k->AutoScaleEnable()); },
        [k](const QVariant &v) { k->setAutoScaleEnable(v.toBool()); });
    property(
        QStringLiteral("AutoScale"), [k] { return enumValue(k->AutoScale()); },
        // Kept for the client and never used by the server: any value is stored.
        [k](const QVariant &v) { k->setAutoScale(static_cast<TYPE_PREFIX>(asInt32(v))); });
    property(
        QStringLiteral("CurrentScale"), [k] { return QVariant(k->CurrentScale()); },
        [k](const QVariant &v) { k->setCurrentScale(v.toString()); });
}

void Kest720Servant::shutdown(std::function<void()> done)
{
    kest720 *k = m_instrument.get();
    // `done` belongs to the object's thread. The object outlives this
    // servant, which waits for the instrument's thread to end.
    ExportedObject *object = &m_object;
    auto finish = [k, object, done] {
        try {
            k->ClosePort();
        } catch (const AutomationError &) {
        }
        QMetaObject::invokeMethod(object, done, Qt::QueuedConnection);
    };
    QMetaObject::invokeMethod(
        k,
        [k, finish] {
            if (!k->isBusy()) {
                finish();
                return;
            }
            // A loop runs on the stack below us: ask it to end and wait for it.
            auto conn = std::make_shared<QMetaObject::Connection>();
            *conn = QObject::connect(
                k, &kest720::idle, k,
                [conn, finish] {
                    QObject::disconnect(*conn);
                    finish();
                },
                Qt::DirectConnection);
            try {
                if (k->isStreaming())
                    k->StopLog();
                else
                    k->ClosePort(); // the download loop has no stop flag; a closed port ends it
            } catch (const AutomationError &) {
                k->ClosePort();
            }
        },
        Qt::QueuedConnection);
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
