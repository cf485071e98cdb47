// The automation layer on a private session bus: a server and its clients in
// one process, each client on a connection (and so a bus name) of its own.
#include "platform/automation/Automation.h"
#include "platform/automation/ExportedObject.h"
#include "platform/automation/RemoteObject.h"
#include "platform/automation/Server.h"
#include "cmake/TestWait.h"
#include "platform/automation/TypeLibrary.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QThread>
#include <gtest/gtest.h>

using namespace norvale::platform;

namespace
{

const char kCounterXml[] = R"(<node>
  <interface name="Test.Automation._Counter">
    <property name="Count" type="n" access="readwrite"/>
    <method name="Add">
      <arg name="a" type="i" direction="in"/>
      <arg name="b" type="i" direction="in"/>
      <arg name="sum" type="i" direction="out"/>
    </method>
    <property name="Label" type="s" access="read"/>
    <method name="Hold"/>
    <method name="Shout">
      <arg name="value" type="i" direction="in"/>
    </method>
  </interface>
  <interface name="Test.Automation.__Counter">
    <signal name="Changed">
      <arg name="value" type="i"/>
    </signal>
  </interface>
</node>)";

const QString I = QStringLiteral("Test.Automation._Counter");
const QString E = QStringLiteral("Test.Automation.__Counter");
const int32_t kNotInit = vbObjectError + 1;

// What the servants of one test did, in order.
struct Journal {
    QStringList events;
    std::function<void()> duringHold; // runs once inside Hold, with Hold on the stack
    int holdMs = 0;                   // Hold pumps at least this long
    bool failCreation = false;
    bool withoutShout = false; // the adaptor leaves out a member of its type library
};

class CounterServant : public Servant
{
public:
    CounterServant(ExportedObject &object, Journal &journal) : m_journal(journal)
    {
        m_members.addProperty(
            I, QStringLiteral("Count"), [this] { return QVariant::fromValue<short>(m_count); },
            [this](const QVariant &v) {
                if (v.value<short>() < 0)
                    throw AutomationError(vbObjectError + 7, QStringLiteral("Counter"),
                                          QStringLiteral("Count must not be negative\n"
                                                         "(it counts things)"));
                m_count = v.value<short>();
            });
        m_members.addProperty(I, QStringLiteral("Label"), []() -> QVariant {
            throw AutomationError(kNotInit, QStringLiteral("721 Control"),
                                  QStringLiteral("Not Initialized"));
        });
        m_members.addMethod(I, QStringLiteral("Add"), [](const QVariantList &args) {
            return QVariantList{args.at(0).toInt() + args.at(1).toInt()};
        });
        m_members.addMethod(I, QStringLiteral("Hold"), [this](const QVariantList &) {
            m_journal.events << QStringLiteral("hold begins");
            QElapsedTimer clock;
            clock.start();
            if (auto hook = std::exchange(m_journal.duringHold, {}))
                hook();
            testsupport::runFor(static_cast<int>(m_journal.holdMs - clock.elapsed()));
            m_journal.events << QStringLiteral("hold ends");
            return QVariantList{};
        });
        if (!journal.withoutShout)
            m_members.addMethod(I, QStringLiteral("Shout"), [&object](const QVariantList &args) {
                object.emitSignal(E, QStringLiteral("Changed"), {args.at(0).toInt()});
                return QVariantList{};
            });
    }
    ~CounterServant() override { m_journal.events << QStringLiteral("servant destroyed"); }
    const MemberTable &members() const override { return m_members; }

private:
    Journal &m_journal;
    MemberTable m_members;
    short m_count = 0;
};

using testsupport::waitFor;

class AutomationBus : public ::testing::Test
{
protected:
    void SetUp() override
    {
        static int serial = 0;
        ++serial;
        options.serviceName = QStringLiteral("Test.Automation.Counter%1").arg(serial);
        options.className = QStringLiteral("Counter");
        options.errorSource = QStringLiteral("Test.Counter");
        options.startupGraceMs = 60000;
        server = std::make_unique<Server>(
            QDBusConnection::sessionBus(), options,
            parseTypeLibrary(QString::fromLatin1(kCounterXml)), [this](ExportedObject &o) {
                if (journal.failCreation)
                    throw AutomationError(vbObjectError + 9, QStringLiteral("Counter"),
                                          QStringLiteral("No more counters"));
                return std::make_unique<CounterServant>(o, journal);
            });
        QObject::connect(server.get(), &Server::finished, [this] { finished = true; });
        QString why;
        ASSERT_TRUE(server->start(&why)) << why.toStdString();
    }
    void TearDown() override
    {
        server.reset();
        for (const QString &name : std::as_const(clients))
            QDBusConnection::disconnectFromBus(name);
    }

    QDBusConnection client(const QString &name)
    {
        const QString full = QStringLiteral("%1-%2").arg(options.serviceName, name);
        clients << full;
        return QDBusConnection::connectToBus(QDBusConnection::SessionBus, full);
    }
    RemoteObject create(const QDBusConnection &c, int timeoutMs = callTimeoutMs)
    {
        return RemoteObject::create(c, options.serviceName, timeoutMs, QDBus::BlockWithGui);
    }
    // The error a raw call gives back, rebuilt; fails the test on success.
    AutomationError errorOf(const std::function<void()> &f)
    {
        try {
            f();
        } catch (const AutomationError &e) {
            return e;
        }
        ADD_FAILURE() << "the call succeeded";
        return AutomationError(0, {}, {});
    }

    ServerOptions options;
    Journal journal;
    std::unique_ptr<Server> server;
    QStringList clients;
    bool finished = false;
};

} // namespace

// ---- Pure parts ------------------------------------------------------------

// How the three parts travel in one text is the error type's own test; here,
// which bus errors map to which number, and the fallback for a broken text.
TEST(AutomationErrorMapping, BusErrorsBecomeAutomationErrors)
{
    struct Case {
        const char *legend;
        QString name;
        QString message;
        int32_t number;
        QString source;
        QString description;
    };
    const QString gone = QStringLiteral("The automation server is not available: x");
    const Case cases[] = {
        {"server error", errorName, QStringLiteral("-2147221503\n721 Control\nNot Initialized"),
         kNotInit, QStringLiteral("721 Control"), QStringLiteral("Not Initialized")},
        {"empty source and description", errorName, QStringLiteral("5\n\n"), 5, QString(),
         QString()},
        {"cut after the source", errorName, QStringLiteral("5\nsrc"), error::automationError,
         error::busSource, QStringLiteral("5\nsrc")},
        {"no reply", QStringLiteral("org.freedesktop.DBus.Error.NoReply"), QStringLiteral("x"),
         error::callTimedOut, error::busSource, QStringLiteral("The call timed out: x")},
        {"server unknown", QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown"),
         QStringLiteral("x"), error::serverGone, error::busSource, gone},
        {"object gone", QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"),
         QStringLiteral("x"), error::serverGone, error::busSource, gone},
        {"disconnected", QStringLiteral("org.freedesktop.DBus.Error.Disconnected"),
         QStringLiteral("x"), error::serverGone, error::busSource, gone},
        {"other bus error", QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
         QStringLiteral("no"), error::automationError, error::busSource,
         QStringLiteral("org.freedesktop.DBus.Error.AccessDenied: no")},
    };
    for (const Case &c : cases) {
        const AutomationError e = fromDBusError(c.name, c.message);
        EXPECT_EQ(e.number(), c.number) << c.legend;
        EXPECT_EQ(e.source(), c.source) << c.legend;
        EXPECT_EQ(e.description(), c.description) << c.legend;
    }
}

TEST(AutomationTypeLibrary, RejectsBrokenDocuments)
{
    struct Case {
        const char *legend;
        const char *xml;
    };
    const Case cases[] = {
        {"cut off", "<node><interface name=\"a.b\"><method name=\"M\">"},
        {"bad access", "<node><interface name=\"a.b\"><property name=\"P\" type=\"i\" "
                       "access=\"sometimes\"/></interface></node>"},
        {"bad type", "<node><interface name=\"a.b\"><property name=\"P\" type=\"(ii\" "
                     "access=\"read\"/></interface></node>"},
        {"argument without type", "<node><interface name=\"a.b\"><method name=\"M\"><arg "
                                  "name=\"x\" direction=\"in\"/></method></interface></node>"},
    };
    for (const Case &c : cases)
        EXPECT_THROW(parseTypeLibrary(QString::fromLatin1(c.xml)), AutomationError) << c.legend;
}

TEST(AutomationMemberTable, ReportsEveryDifferenceFromTheTypeLibrary)
{
    const TypeLibrary lib = parseTypeLibrary(QString::fromLatin1(kCounterXml));
    MemberTable t;
    auto none = [](const QVariantList &) { return QVariantList{}; };
    auto get = [] { return QVariant(); };
    t.addProperty(I, QStringLiteral("Count"), get, [](const QVariant &) {});
    t.addMethod(I, QStringLiteral("Add"), none);
    t.addProperty(I, QStringLiteral("Label"), get, [](const QVariant &) {}); // read-only
    t.addMethod(I, QStringLiteral("Hold"), none);
    t.addMethod(I, QStringLiteral("Extra"), none);
    QStringList found = t.mismatches(lib);
    found.sort();
    EXPECT_EQ(found, QStringList({
                         "handler for unknown method Test.Automation._Counter.Extra",
                         "no handler for method Test.Automation._Counter.Shout",
                         "property Test.Automation._Counter.Label: handlers do not match its "
                         "access",
                     }));
}

// ---- On the bus ------------------------------------------------------------

TEST_F(AutomationBus, EachClientGetsAnObjectOfItsOwn)
{
    RemoteObject a = create(client(QStringLiteral("a")));
    RemoteObject b = create(client(QStringLiteral("b")));
    EXPECT_NE(a.path(), b.path());
    a.setProperty(I, QStringLiteral("Count"), QVariant::fromValue<short>(7));
    b.setProperty(I, QStringLiteral("Count"), QVariant::fromValue<short>(9));
    EXPECT_EQ(a.property(I, QStringLiteral("Count")).value<short>(), 7);
    EXPECT_EQ(b.property(I, QStringLiteral("Count")).value<short>(), 9);
    EXPECT_EQ(a.call(I, QStringLiteral("Add"), {40, 2}).value(0).toInt(), 42);
    EXPECT_EQ(server->objectCount(), 2);
    a.release();
    b.release();
}

TEST_F(AutomationBus, EveryFailureArrivesAsAnAutomationErrorWithItsThreeParts)
{
    QDBusConnection c = client(QStringLiteral("a"));
    RemoteObject a = create(c);
    const QString src = options.errorSource;
    const QString unsupported = QStringLiteral("Object doesn't support this property or method");
    struct Case {
        const char *legend;
        std::function<void()> call;
        int32_t number;
        QString source;
        QString description;
    };
    auto raw = [&](const QString &iface, const QString &member, const QVariantList &args) {
        return [=] { a.call(iface, member, args); };
    };
    auto set = [&](const QString &name, const QVariant &v) {
        return [=] { a.setProperty(I, name, v); };
    };
    const Case cases[] = {
        {"property read that fails", [&] { a.property(I, QStringLiteral("Label")); }, kNotInit,
         QStringLiteral("721 Control"), QStringLiteral("Not Initialized")},
        {"property write that fails, two-line text",
         set(QStringLiteral("Count"), QVariant::fromValue<short>(-1)), vbObjectError + 7,
         QStringLiteral("Counter"),
         QStringLiteral("Count must not be negative\n(it counts things)")},
        {"write of a read-only property", set(QStringLiteral("Label"), QStringLiteral("x")),
         error::readOnly, src, QStringLiteral("Set not supported (read-only property)")},
        {"write with the wrong type", set(QStringLiteral("Count"), 5), error::typeMismatch, src,
         QStringLiteral("Type mismatch")},
        {"unknown property", set(QStringLiteral("Colour"), 5), error::notSupported, src,
         unsupported},
        {"read of an unknown property", [&] { a.property(I, QStringLiteral("Nope")); },
         error::notSupported, src, unsupported},
        {"property of another interface",
         [&] { a.property(QStringLiteral("x.y"), QStringLiteral("Count")); }, error::notSupported,
         src, unsupported},
        {"unknown method", raw(I, QStringLiteral("Subtract"), {1, 2}), error::notSupported, src,
         unsupported},
        {"method with the wrong types", raw(I, QStringLiteral("Add"), {1, QStringLiteral("2")}),
         error::typeMismatch, src, QStringLiteral("Type mismatch")},
        {"method with too few arguments", raw(I, QStringLiteral("Add"), {1}), error::wrongArguments,
         src, QStringLiteral("Wrong number of arguments or invalid property assignment")},
        {"Get with garbage arguments", raw(propertiesInterface, QStringLiteral("Get"), {1, 2}),
         error::typeMismatch, src, QStringLiteral("Type mismatch")},
        {"Release with an argument", raw(objectInterface, QStringLiteral("Release"), {1}),
         error::wrongArguments, src,
         QStringLiteral("Wrong number of arguments or invalid property assignment")},
        {"an event called as a method", raw(E, QStringLiteral("Changed"), {1}), error::notSupported,
         src, unsupported},
    };
    for (const Case &k : cases) {
        const AutomationError e = errorOf(k.call);
        EXPECT_EQ(e.number(), k.number) << k.legend;
        EXPECT_EQ(e.source(), k.source) << k.legend;
        EXPECT_EQ(e.description(), k.description) << k.legend;
    }
    // None of it hurt the object.
    EXPECT_EQ(a.call(I, QStringLiteral("Add"), {2, 3}).value(0).toInt(), 5);
    a.release();
}

TEST_F(AutomationBus, GetAllLeavesOutPropertiesThatCannotBeReadNow)
{
    RemoteObject a = create(client(QStringLiteral("a")));
    const QVariantList out = a.call(propertiesInterface, QStringLiteral("GetAll"), {I});
    ASSERT_EQ(out.size(), 1);
    const QVariantMap all = qdbus_cast<QVariantMap>(out.at(0));
    EXPECT_EQ(all.keys(), QStringList({"Count"}));
    a.release();
}

TEST_F(AutomationBus, IntrospectionListsTheTypeLibraryAndRelease)
{
    RemoteObject a = create(client(QStringLiteral("a")));
    const QString xml =
        a.call(QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"))
            .value(0)
            .toString();
    const TypeLibrary seen = parseTypeLibrary(xml);
    ASSERT_NE(seen.interface(I), nullptr);
    EXPECT_EQ(seen.interface(I)->memberOrder,
              QStringList({"Count", "Add", "Label", "Hold", "Shout"}));
    ASSERT_NE(seen.interface(objectInterface), nullptr);
    EXPECT_NE(seen.interface(objectInterface)->method(QStringLiteral("Release")), nullptr);
    a.release();
}

// Records the D-Bus messages of the signals it is connected to.
class SignalRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QDBusMessage> messages;
public slots:
    void record(const QDBusMessage &m) { messages << m; }
};

TEST_F(AutomationBus, EventsReachListenersFromTheObjectsPath)
{
    QDBusConnection c = client(QStringLiteral("a"));
    RemoteObject a = create(c);
    SignalRecorder rec;
    ASSERT_TRUE(c.connect(a.service(), a.path(), E, QStringLiteral("Changed"), &rec,
                          SLOT(record(QDBusMessage))));
    a.call(I, QStringLiteral("Shout"), {11});
    a.call(I, QStringLiteral("Shout"), {12});
    ASSERT_TRUE(waitFor([&] { return rec.messages.size() == 2; }));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(rec.messages.at(i).path(), a.path());
        EXPECT_EQ(rec.messages.at(i).signature(), QStringLiteral("i"));
        EXPECT_EQ(rec.messages.at(i).arguments().value(0).toInt(), 11 + i);
    }
    a.release();
}

TEST_F(AutomationBus, ReleaseEndsTheObjectAndTheLastOneEndsTheServer)
{
    QDBusConnection ca = client(QStringLiteral("a"));
    RemoteObject a = create(ca);
    RemoteObject b = create(client(QStringLiteral("b")));
    // Only the creator may give the object back.
    RemoteObject aSeenByB(client(QStringLiteral("b2")), a.service(), a.path(), callTimeoutMs,
                          QDBus::BlockWithGui);
    EXPECT_EQ(errorOf([&] { aSeenByB.release(); }).number(), error::permissionDenied);

    a.release();
    ASSERT_TRUE(waitFor([&] { return server->objectCount() == 1; }));
    const AutomationError gone = errorOf([&] { a.call(I, QStringLiteral("Add"), {1, 1}); });
    EXPECT_EQ(gone.number(), error::serverGone);
    EXPECT_EQ(gone.source(), error::busSource);
    EXPECT_FALSE(finished);

    b.release();
    EXPECT_TRUE(waitFor([&] { return finished; }));
    EXPECT_EQ(journal.events.count(QStringLiteral("servant destroyed")), 2);
}

TEST_F(AutomationBus, AClientLeavingTheBusEndsOnlyItsOwnObjects)
{
    const QString leaver = options.serviceName + QStringLiteral("-leaver");
    RemoteObject b = create(client(QStringLiteral("stays")));
    {
        // The connection closes when its last copy has gone.
        QDBusConnection c = QDBusConnection::connectToBus(QDBusConnection::SessionBus, leaver);
        create(c);
        create(c);
        ASSERT_EQ(server->objectCount(), 3);
        QDBusConnection::disconnectFromBus(leaver);
    }
    ASSERT_TRUE(waitFor([&] { return server->objectCount() == 1; }));
    EXPECT_EQ(b.call(I, QStringLiteral("Add"), {1, 1}).value(0).toInt(), 2);
    EXPECT_FALSE(finished);
    b.release();
    EXPECT_TRUE(waitFor([&] { return finished; }));
}

TEST_F(AutomationBus, ReleaseDuringALongCallWaitsForTheCallToReturn)
{
    QDBusConnection c = client(QStringLiteral("a"));
    RemoteObject a = create(c);
    journal.duringHold = [&] {
        a.release(); // arrives nested inside Hold, on the same object
        journal.events << QStringLiteral("released");
    };
    a.call(I, QStringLiteral("Hold"));
    ASSERT_TRUE(waitFor([&] { return finished; }));
    EXPECT_EQ(journal.events,
              QStringList({"hold begins", "released", "hold ends", "servant destroyed"}));
}

TEST_F(AutomationBus, AnObjectThatCannotBeMadeComesBackAsAnAutomationError)
{
    journal.failCreation = true;
    AutomationError e = errorOf([&] { create(client(QStringLiteral("a"))); });
    EXPECT_EQ(e.number(), vbObjectError + 9);
    EXPECT_EQ(e.source(), QStringLiteral("Counter"));
    EXPECT_EQ(e.description(), QStringLiteral("No more counters"));

    // An adaptor that disagrees with its type library is not served.
    journal.failCreation = false;
    journal.withoutShout = true;
    e = errorOf([&] { create(client(QStringLiteral("b"))); });
    EXPECT_EQ(e.number(), error::automationError);
    EXPECT_EQ(e.source(), options.errorSource);
    EXPECT_TRUE(e.description().contains(
        QStringLiteral("no handler for method Test.Automation._Counter.Shout")))
        << e.description().toStdString();
    EXPECT_EQ(server->objectCount(), 0);
}

TEST_F(AutomationBus, BusFailuresBecomeAutomationErrorsOfTheBus)
{
    const AutomationError none = errorOf([&] {
        RemoteObject::create(client(QStringLiteral("a")), QStringLiteral("Test.Nobody.Here"));
    });
    EXPECT_EQ(none.number(), error::serverGone);
    EXPECT_EQ(none.source(), error::busSource);

    // A call that outlasts its time-out.
    RemoteObject a = create(client(QStringLiteral("b")), 50);
    journal.holdMs = 500;
    const AutomationError late = errorOf([&] { a.call(I, QStringLiteral("Hold")); });
    EXPECT_EQ(late.number(), error::callTimedOut);
    EXPECT_EQ(late.source(), error::busSource);
    a.release();
}

TEST(AutomationServer, LeavesWhenNobodyCreatesAnObject)
{
    ServerOptions o{QStringLiteral("Test.Automation.Lonely"), QStringLiteral("Lonely"),
                    QStringLiteral("Lonely"), 0, 1000};
    Server server(QDBusConnection::sessionBus(), o,
                  parseTypeLibrary(QString::fromLatin1(kCounterXml)),
                  [](ExportedObject &) -> std::unique_ptr<Servant> { return nullptr; });
    bool finished = false;
    QObject::connect(&server, &Server::finished, [&] { finished = true; });
    ASSERT_TRUE(server.start());
    EXPECT_TRUE(waitFor([&] { return finished; }));
    EXPECT_FALSE(
        QDBusConnection::sessionBus().interface()->isServiceRegistered(o.serviceName).value());
}

TEST(AutomationServer, RefusesANameThatIsTaken)
{
    ServerOptions o{QStringLiteral("Test.Automation.Taken"), QStringLiteral("Taken"),
                    QStringLiteral("Taken"), 60000, 1000};
    QDBusConnection other =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("holder"));
    ASSERT_TRUE(other.registerService(o.serviceName));
    Server server(QDBusConnection::sessionBus(), o,
                  parseTypeLibrary(QString::fromLatin1(kCounterXml)),
                  [](ExportedObject &) -> std::unique_ptr<Servant> { return nullptr; });
    QString why;
    EXPECT_FALSE(server.start(&why));
    EXPECT_TRUE(why.contains(o.serviceName));
    QDBusConnection::disconnectFromBus(QStringLiteral("holder"));
}

#include "test_automation.moc"
