#include "assistant/server/Servants.h"

#include "UIControl/Display.h"
#include "UIControl/Form1.h"
#include "assistant/RuntimeError.h"
#include "assistant/dbus/Kest721DBusTypes.h"
#include "assistant/dialogs/DesktopWindows.h"
#include "assistant/dialogs/Prompts.h"
#include "assistant/kest721Assistant.h"
#include "control/dbus/Kest720DBusTypes.h"
#include "control/dbus/kest720Proxy.h"
#include "displaycontrols/kest720Display.h"
#include "platform/automation/Automation.h"
#include "ui/MsgBox.h"

#include <QDBusConnectionInterface>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

using norvale::platform::AutomationError;
using norvale::platform::ExportedObject;
using norvale::platform::MemberTable;
using norvale::platform::TypeLibrary;

// Resources are initialised from the global namespace.
static void initTypeLibraryResources()
{
    Q_INIT_RESOURCE(kest721xl_typelib);
}

namespace norvale::assistant
{

namespace
{

TypeLibrary loadLibrary(const QStringList &files)
{
    initTypeLibraryResources();
    TypeLibrary lib;
    for (const QString &file : files) {
        const TypeLibrary part =
            norvale::platform::loadTypeLibrary(QStringLiteral(":/norvale/typelib/") + file);
        lib.interfaces += part.interfaces;
        lib.interfacesXml += part.interfacesXml;
    }
    return lib;
}

void addMethod(MemberTable &t, const QString &iface, const char *name, std::function<void()> f)
{
    t.addMethod(iface, QString::fromLatin1(name), [f](const QVariantList &) {
        f();
        return QVariantList{};
    });
}

[[noreturn]] void invalidArgument(const QString &source)
{
    throw AutomationError(5, source, QStringLiteral("Invalid procedure call or argument"));
}

// The display's own source of errors, as the display component names itself.
const QString displaySource = QStringLiteral("Kest720UI.Display");
} // namespace

const TypeLibrary &assistantTypeLibrary()
{
    static const TypeLibrary lib = loadLibrary({QStringLiteral("kest721xl._kest721Assistant.xml"),
                                                QStringLiteral("kest721xl.__kest721Assistant.xml"),
                                                QStringLiteral("Norvale.Assistant.xml")});
    return lib;
}

const TypeLibrary &msgBoxTypeLibrary()
{
    static const TypeLibrary lib = loadLibrary(
        {QStringLiteral("kest721xl._MsgBox.xml"), QStringLiteral("kest721xl.__MsgBox.xml")});
    return lib;
}

const TypeLibrary &promptsTypeLibrary()
{
    static const TypeLibrary lib = loadLibrary({QStringLiteral("Norvale.Automation.Prompts.xml")});
    return lib;
}

const TypeLibrary &displayTypeLibrary()
{
    static const TypeLibrary lib = loadLibrary({QStringLiteral("Kest720UI._Display.xml")});
    return lib;
}

// ---- the Assistant ----------------------------------------------------------------

namespace
{
// The display's state as a host reads it.
class DisplayServant : public norvale::platform::Servant
{
public:
    explicit DisplayServant(norvale::uicontrol::Display &display)
    {
        norvale::uicontrol::Display *d = &display;
        norvale::uicontrol::Form1 *f = display.frm();
        const QString I = displayInterface;
        MemberTable &t = m_members;
        t.addProperty(I, QStringLiteral("Value"),
                      [f] { return QVariant(double(f->kest720Display1->Value())); });
        t.addProperty(I, QStringLiteral("Units"),
                      [f] { return QVariant(f->kest720Display1->ScaleUnits()); });
        t.addProperty(I, QStringLiteral("ScaleNumber"), [f] {
            return QVariant::fromValue<short>(short(f->kest720Display1->ScaleNumber()));
        });
        t.addProperty(I, QStringLiteral("AlarmState"),
                      [d] { return QVariant::fromValue<int>(d->AlarmState()); });
        t.addProperty(I, QStringLiteral("AlarmValue"), [d] { return QVariant(d->AlarmValue()); });
        t.addProperty(I, QStringLiteral("UseAcknowledge"),
                      [d] { return QVariant(d->UseAcknowledge()); });
        t.addProperty(I, QStringLiteral("Visible"), [f] { return QVariant(f->isVisible()); });
        t.addProperty(I, QStringLiteral("Message"), [f] {
            const auto *label = f->kest720Display1->findChild<QLabel *>(QStringLiteral("lblMessage"));
            return QVariant(label && !label->isHidden() ? label->text() : QString());
        });
        t.addProperty(I, QStringLiteral("AcknowledgeEnabled"),
                      [f] { return QVariant(f->cmdAlarmAck->isEnabled()); });
        t.addMethod(I, QStringLiteral("PressAcknowledge"), [f](const QVariantList &) {
            // Exactly what a click does, and only when a click could happen.
            if (!f->cmdAlarmAck->isEnabled() || f->cmdAlarmAck->isHidden())
                invalidArgument(displaySource);
            f->cmdAlarmAck->click();
            return QVariantList{};
        });
    }
    const MemberTable &members() const override { return m_members; }

private:
    MemberTable m_members;
};

bool openWithDesktop(const QString &file)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(file));
}
} // namespace

AssistantServant::AssistantServant(ExportedObject &object, const AssistantContext &context)
    : m_object(object)
{
    norvale::assistant::registerTypes();
    norvale::assistant::kest721Assistant::Services services;
    const QDBusConnection client = context.clientConnection;
    // Calls to the instrument run the event loop while they wait, as every
    // wait here does: the windows paint, the clock ticks, other hosts are served.
    services.makeInstrument = [client] {
        return std::make_unique<norvale::control::kest720Proxy>(client, nullptr,
                                                                QDBus::BlockWithGui);
    };
    services.prompts = context.prompts;
    services.sound = context.sound;
    services.journal = context.journal;
    services.feed = context.feed;
    services.windows = context.windows;
    services.helpFile = context.helpFile;
    services.openHelp = openWithDesktop;
    m_assistant = std::make_unique<norvale::assistant::kest721Assistant>(std::move(services));
    m_assistant->setWaiter(object.owner());
    m_assistant->setBoxOwner(object.path());
    // A box still open when the object is released would hold its end for ever.
    norvale::assistant::PromptBoard *board = context.prompts;
    const QString path = object.path();
    QObject::connect(&object, &ExportedObject::ending, &object, [board, path] {
        if (board)
            board->answerDefaultsOf(path);
    });
    norvale::assistant::kest721Assistant *a = m_assistant.get();

    const QString I = assistantInterface;
    MemberTable &t = m_members;
    addMethod(t, I, "Connect", [a] { a->Connect(); });
    addMethod(t, I, "Disconnect", [a] { a->Disconnect(); });
    t.addProperty(I, QStringLiteral("Initialized"), [a] { return QVariant(a->Initialized()); });
    addMethod(t, I, "StartLog", [a] { a->StartLog(); });
    addMethod(t, I, "StopLog", [a] { a->StopLog(); });
    addMethod(t, I, "ShowProperties", [a] { a->ShowProperties(); });
    addMethod(t, I, "ShowOptions", [a] { a->ShowOptions(); });
    addMethod(t, I, "DownloadLog", [a] { a->DownloadLog(); });
    addMethod(t, I, "ShowIntegrate", [a] { a->ShowIntegrate(); });
    addMethod(t, I, "ShowAbout", [a] { a->ShowAbout(); });
    addMethod(t, I, "ShowHelp", [a] { a->ShowHelp(); });
    t.addProperty(I, QStringLiteral("Control"), [a] {
        const norvale::control::kest720Proxy &k = a->Control();
        // Hosts reach the object by the server's well-known name.
        return QVariant::fromValue(ControlReference{norvale::control::serviceName,
                                                    QDBusObjectPath(k.remote().path())});
    });

    addMethod(t, assistantHouseInterface, "ResumeLog", [a] { a->ResumeLog(); });
    t.addMethod(assistantHouseInterface, QStringLiteral("SetRunInfo"),
                [a](const QVariantList &args) {
                    a->SetRunInfo(args.value(0).toString(), args.value(1).toString(),
                                  args.value(2).toString());
                    return QVariantList{};
                });

    const QString E = assistantEvents;
    ExportedObject *o = &object;
    using A = norvale::assistant::kest721Assistant;
    QObject::connect(a, &A::DataDownload, o, [o, E](float degreesC, const control::Measurement &m) {
        o->emitSignal(E, QStringLiteral("DataDownload"),
                      {double(degreesC), QVariant::fromValue(m)});
    });
    auto relay = [o, E](const char *name) {
        return [o, E, name] { o->emitSignal(E, QString::fromLatin1(name), {}); };
    };
    QObject::connect(a, &A::DataDownLoadComplete, o, relay("DataDownLoadComplete"));
    QObject::connect(a, &A::DataDownloadError, o, relay("DataDownloadError"));
    QObject::connect(a, &A::LiveData, o, [o, E](double measured, int32_t colour, double stamp) {
        o->emitSignal(E, QStringLiteral("LiveData"),
                      {measured, QVariant::fromValue<int>(colour), stamp});
    });
    QObject::connect(a, &A::LiveDataError, o, relay("LiveDataError"));
    QObject::connect(a, &A::Connected, o, relay("Connected"));
    QObject::connect(a, &A::Disconnected, o, relay("Disconnected"));
    QObject::connect(a, &A::LogStarted, o, relay("LogStarted"));
    QObject::connect(a, &A::LogStopped, o, relay("LogStopped"));
    QObject::connect(a, &A::DoseRate, o, [o, E](double dose, double average) {
        o->emitSignal(E, QStringLiteral("DoseRate"), {dose, average});
    });
    QObject::connect(a, &A::displayCreated, o, [this] { publishDisplay(); });
    if (const QString file = context.alarmSnapshot; !file.isEmpty()) {
        auto taken = std::make_shared<bool>(false);
        QObject::connect(a, &A::alarmStateChanged, o, [a, file, taken](int state) {
            if (state != modAlarm::UnackAlarm || std::exchange(*taken, true))
                return;
            // Half a second in, the LED has flashed and the window is painted.
            QTimer::singleShot(500, a, [a, file] {
                if (norvale::uicontrol::Display *display =
                        norvale::assistant::hostedDisplay(a->display()))
                    display->frm()->grab().save(file);
            });
        });
    }
}

AssistantServant::~AssistantServant()
{
    delete m_displayObject.data();
}

void AssistantServant::publishDisplay()
{
    // Only the desktop's display window is an object hosts can reach.
    norvale::uicontrol::Display *display =
        norvale::assistant::hostedDisplay(m_assistant->display());
    if (m_displayObject || !display)
        return;
    // Nobody but the Assistant holds the display: no client may release it.
    auto *obj = new ExportedObject(
        m_object.connection(), m_object.path() + QStringLiteral("/Display"), QString(),
        displayTypeLibrary(), displaySource,
        [display](ExportedObject &) { return std::make_unique<DisplayServant>(*display); });
    if (!obj->isRegistered()) {
        delete obj;
        return;
    }
    m_displayObject = obj;
}

void AssistantServant::shutdown(std::function<void()> done)
{
    delete m_displayObject.data();
    // Destruction stops the clock and any stream, closes the port, saves the
    // settings and releases the instrument object.
    m_assistant.reset();
    done();
}

// ---- MsgBox --------------------------------------------------------------------------

MsgBoxServant::MsgBoxServant(ExportedObject &object)
    : m_box(std::make_unique<norvale::ui::MsgBox>())
{
    norvale::ui::MsgBox *b = m_box.get();
    const QString I = msgBoxInterface;
    const QString source = norvale::assistant::programName();
    MemberTable &t = m_members;
    addMethod(t, I, "Show", [b] { b->Show(); });
    addMethod(t, I, "Hide", [b] { b->Hide(); });
    t.addMethod(I, QStringLiteral("Parent"), [b](const QVariantList &args) {
        b->Parent(args.at(0).toInt());
        return QVariantList{};
    });
    t.addMethod(I, QStringLiteral("Message"), [b, source](const QVariantList &args) {
        const QVariantMap options = qdbus_cast<QVariantMap>(args.at(1));
        std::optional<QString> title;
        for (auto it = options.cbegin(); it != options.cend(); ++it) {
            if (it.key() != QLatin1StringView("Title"))
                invalidArgument(source);
            const QVariant v = it.value().metaType() == QMetaType::fromType<QDBusVariant>()
                                   ? it.value().value<QDBusVariant>().variant()
                                   : it.value();
            if (v.metaType() != QMetaType::fromType<QString>())
                invalidArgument(source);
            title = v.toString();
        }
        b->Message(args.at(0).toString(), title);
        return QVariantList{};
    });
    t.addProperty(I, QStringLiteral("Visible"), [b] { return QVariant(b->form()->isVisible()); });
    t.addProperty(I, QStringLiteral("Caption"),
                  [b] { return QVariant(b->form()->windowTitle()); });
    t.addProperty(I, QStringLiteral("Text"), [b] { return QVariant(b->form()->Message->text()); });

    ExportedObject *o = &object;
    QObject::connect(b, &norvale::ui::MsgBox::ButtonClick, o,
                     [o] { o->emitSignal(msgBoxEvents, QStringLiteral("ButtonClick"), {}); });
}

MsgBoxServant::~MsgBoxServant() = default;

// ---- the message boxes -------------------------------------------------------------------

namespace
{
class PromptsServant : public norvale::platform::Servant
{
public:
    PromptsServant(ExportedObject &object, norvale::assistant::PromptBoard &board)
    {
        norvale::assistant::PromptBoard *p = &board;
        const QString I = promptsInterface;
        const QString source = norvale::assistant::programName();
        m_members.addMethod(I, QStringLiteral("Answer"), [p, source](const QVariantList &args) {
            if (!p->answer(args.at(0).toUInt(), args.at(1).toString()))
                invalidArgument(source);
            return QVariantList{};
        });
        m_members.addMethod(I, QStringLiteral("Pending"), [p](const QVariantList &) {
            PromptList list;
            for (const auto &box : p->pending())
                list << PromptInfo{box.id, box.title, box.text, box.buttons};
            return QVariantList{QVariant::fromValue(list)};
        });
        ExportedObject *o = &object;
        QObject::connect(p, &norvale::assistant::PromptBoard::shown, o,
                         [o, I](quint32 id, const QString &title, const QString &text,
                                const QStringList &buttons) {
                             o->emitSignal(I, QStringLiteral("Shown"),
                                           {QVariant::fromValue(id), title, text, buttons});
                         });
        QObject::connect(p, &norvale::assistant::PromptBoard::closed, o,
                         [o, I](quint32 id, const QString &button) {
                             o->emitSignal(I, QStringLiteral("Closed"),
                                           {QVariant::fromValue(id), button});
                         });
    }
    const MemberTable &members() const override { return m_members; }

private:
    MemberTable m_members;
};
} // namespace

PromptsPublisher::PromptsPublisher(QDBusConnection connection,
                                   norvale::assistant::PromptBoard &board, QObject *parent)
    : QObject(parent), m_board(board)
{
    norvale::assistant::registerTypes();
    m_object = std::make_unique<ExportedObject>(
        connection, promptsPath, QString(), promptsTypeLibrary(), norvale::assistant::programName(),
        [&board](ExportedObject &o) { return std::make_unique<PromptsServant>(o, board); });
    // A box whose caller has left would keep the program waiting for ever.
    m_watcher.setConnection(connection);
    m_watcher.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(&m_board, &norvale::assistant::PromptBoard::shown, this, [this] {
        for (const auto &box : m_board.pending())
            if (!box.waiter.isEmpty() && !m_watcher.watchedServices().contains(box.waiter)) {
                m_watcher.addWatchedService(box.waiter);
                if (!m_watcher.connection().interface()->isServiceRegistered(box.waiter).value())
                    m_board.answerDefaults(box.waiter);
            }
    });
    connect(&m_watcher, &QDBusServiceWatcher::serviceUnregistered, this,
            [this](const QString &name) {
                m_watcher.removeWatchedService(name);
                m_board.answerDefaults(name);
            });
}

PromptsPublisher::~PromptsPublisher() = default;

bool PromptsPublisher::isRegistered() const
{
    return m_object && m_object->isRegistered();
}

} // namespace norvale::assistant
