// The Assistant class in process: its pure helpers, its message boxes, the
// sound alias, and the alarm annunciation of a logging run against the real
// kest720 server and a simulated meter with scripted readings.
#include "UIControl/Display.h"
#include "UIControl/Form1.h"
#include "assistant/AlarmSound.h"
#include "assistant/Journal.h"
#include "assistant/Settings.h"
#include "assistant/dialogs/DesktopWindows.h"
#include "assistant/modAlarm.h"
#include "assistant/modMain.h"
#include "assistant/modTimer.h"
#include "assistant/tests/AssistantFixture.h"
#include "platform/registry/RegistryStore.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>
#include <algorithm>
#include <optional>
#include <tuple>

using namespace norvale::assistant;
namespace platform = norvale::platform;

namespace
{

TEST(SpreadsheetDate, CountsDaysFromTheEndOf1899WithWholeSeconds)
{
    const struct {
        QDateTime local;
        double expected;
    } cases[] = {
        {QDateTime(QDate(1899, 12, 30), QTime(0, 0)), 0.0},
        {QDateTime(QDate(1900, 3, 1), QTime(12, 0)), 61.5},
        {QDateTime(QDate(2026, 12, 7), QTime(6, 0, 30)), 46363 + 0.25 + 30 / 86400.0},
        // Milliseconds are dropped: the clock gives whole seconds.
        {QDateTime(QDate(2026, 12, 7), QTime(23, 59, 59, 999)), 46363 + 86399 / 86400.0},
    };
    for (const auto &c : cases)
        EXPECT_DOUBLE_EQ(spreadsheetDate(c.local), c.expected) << c.local.toString().toStdString();
}

TEST(PromptBoard, AnswersOnlyWithTheBoxsButtonsAndDefaultsToCancelElseOK)
{
    EXPECT_EQ(defaultButton({buttonYes, buttonNo, buttonCancel}), buttonCancel);
    EXPECT_EQ(defaultButton({buttonOK}), buttonOK);
    EXPECT_EQ(defaultButton({buttonYes, buttonNo}), buttonNo);

    PromptBoard board(false);
    QStringList seen;
    // Boxes opened inside another's wait, answered from the outside in.
    QObject::connect(&board, &PromptBoard::shown,
                     [&](quint32 id, const QString &title, const QString &, const QStringList &) {
                         seen << title;
                         if (title == QLatin1String("outer")) {
                             QTimer::singleShot(0, [&board, id] {
                                 EXPECT_FALSE(board.answer(id, buttonOK));      // not its button
                                 EXPECT_FALSE(board.answer(id + 7, buttonYes)); // no such box
                                 const QString inner =
                                     board.ask(QStringLiteral("inner"), QStringLiteral("t"), {},
                                               QString(), QStringLiteral("/b"));
                                 EXPECT_EQ(inner, buttonOK);
                                 EXPECT_TRUE(board.answer(id, buttonYes));
                             });
                         } else {
                             QTimer::singleShot(0, [&board] {
                                 EXPECT_EQ(board.pending().size(), 2);
                                 board.answerDefaultsOf(QStringLiteral("/b"));
                             });
                         }
                     });
    const QString outer = board.ask(QStringLiteral("outer"), QStringLiteral("t"),
                                    {buttonYes, buttonNo}, QString(), QStringLiteral("/a"));
    EXPECT_EQ(outer, buttonYes);
    EXPECT_EQ(seen, (QStringList{QStringLiteral("outer"), QStringLiteral("inner")}));
    EXPECT_TRUE(board.pending().isEmpty());
}

void writeText(const QString &path, const QString &text)
{
    platform::Key key;
    ASSERT_EQ(platform::createKey(platform::HKEY_CURRENT_USER, path, platform::KEY_ALL_ACCESS, key),
              platform::ERROR_SUCCESS);
    ASSERT_EQ(platform::setValue(key, QString(), platform::REG_SZ, text.toUtf8() + '\0'),
              platform::ERROR_SUCCESS);
}

TEST(AlarmSoundAlias, TheProgramsOwnAssignmentComesBeforeTheDefaultScheme)
{
    const QString alias = QStringLiteral("TestAlarm%1").arg(QCoreApplication::applicationPid());
    EXPECT_EQ(soundFileOfAlias(alias), QString());
    writeText(QStringLiteral("AppEvents\\Schemes\\Apps\\.Default\\%1\\.Current").arg(alias),
              QStringLiteral("/sounds/default.wav"));
    EXPECT_EQ(soundFileOfAlias(alias), QStringLiteral("/sounds/default.wav"));
    writeText(QStringLiteral("AppEvents\\Schemes\\Apps\\kest721xl\\%1\\.Current").arg(alias),
              QStringLiteral("/sounds/own.wav"));
    EXPECT_EQ(soundFileOfAlias(alias), QStringLiteral("/sounds/own.wav"));
}

class CountingSound : public AlarmSound
{
public:
    void play(const QString &alias) override { requests << alias; }
    QStringList requests;
};

class AssistantRun : public assistanttest::AssistantOnBus
{
protected:
    void SetUp() override
    {
        AssistantOnBus::SetUp();
        // Two readings below the alarm point of 0.2 mR/h, then an alarm for good.
        meter->setStreamScript(
            {{0, QStringLiteral("15")}, {0, QStringLiteral("16")}, {0, QStringLiteral("400")}});
    }

    std::unique_ptr<kest721Assistant> makeAssistant(Journal *journal = nullptr)
    {
        auto a = AssistantOnBus::makeAssistant(&sound, journal);
        modTimer::SetTimerInterval(1);
        modTimer::SetTimerDuration(600);
        modAlarm::SetAlarmEnabled(true);
        modAlarm::SetAlarmPoint(0.2);
        return a;
    }

    // Counts the readings and the link errors that the host sees.
    void watch(kest721Assistant &a)
    {
        QObject::connect(&a, &kest721Assistant::LiveData, [this] { ++samples; });
        QObject::connect(&a, &kest721Assistant::LiveDataError, [this] { ++errors; });
    }

    CountingSound sound;
    int samples = 0;
    int errors = 0;
};

TEST_F(AssistantRun, TheAlarmSoundsForEachUnacknowledgedAlarmReading)
{
    const struct {
        bool useAcknowledge;
        bool playSound;
        bool acknowledge;
    } cases[] = {
        {true, true, true},   // stops after the acknowledgement
        {false, true, false}, // repeats for the whole alarm
        {true, false, false}, // silent
    };
    // The Disconnect question of each case's end is answered No.
    QObject::connect(&prompts, &PromptBoard::shown, &prompts, [this](quint32 id) {
        QTimer::singleShot(0, [this, id] { prompts.answer(id, buttonNo); });
    });
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "acknowledge button " << c.useAcknowledge << ", sound " << c.playSound);
        sound.requests.clear();
        auto a = makeAssistant();
        modAlarm::SetUseAcknowledge(c.useAcknowledge);
        modAlarm::SetPlayAlarmSound(c.playSound);
        a->Connect();
        ASSERT_TRUE(a->Initialized());

        int alarmReadings = 0;
        int alarmReadingsBeforeAck = -1;
        QObject::connect(&a->Control(), &norvale::control::kest720Proxy::LiveData, a.get(),
                         [&](const norvale::control::Measurement &m) {
                             if (m.Value >= 200)
                                 ++alarmReadings;
                         });
        a->StartLog();
        ASSERT_TRUE(bustest::waitFor([&] { return alarmReadings >= 3; }));
        if (c.acknowledge) {
            QPushButton *ack = hostedDisplay(a->display())->frm()->cmdAlarmAck;
            ASSERT_TRUE(ack->isEnabled());
            alarmReadingsBeforeAck = alarmReadings;
            ack->click();
            EXPECT_FALSE(ack->isEnabled());
        }
        const int until = alarmReadings + 3;
        ASSERT_TRUE(bustest::waitFor([&] { return alarmReadings >= until; }));
        a->StopLog();

        const qsizetype expected = !c.playSound    ? 0
                                   : c.acknowledge ? alarmReadingsBeforeAck
                                                   : alarmReadings;
        EXPECT_EQ(sound.requests.size(), expected);
        for (const QString &alias : sound.requests)
            EXPECT_EQ(alias, QStringLiteral("Avo721Alarm"));
        a->Disconnect();
    }
}

} // namespace

namespace
{
// The Assistant's windows as its core sees them, without a widget: what each
// status window and the instrument display were told, in order.
class RecordingWindows : public AssistantWindows
{
public:
    QStringList log;
    int openStatusWindows = 0;
    bool integrating = false;

    std::unique_ptr<InstrumentDisplay> createDisplay() override
    {
        return std::make_unique<Display>(*this);
    }
    std::unique_ptr<StatusWindow> createStatusWindow() override
    {
        return std::make_unique<Status>(*this);
    }
    void showProperties(kest721Assistant &) override { log << QStringLiteral("properties"); }
    void showOptions(kest721Assistant &) override { log << QStringLiteral("options"); }
    void showIntegrate(kest721Assistant &) override { log << QStringLiteral("integrate"); }
    void showAbout(kest721Assistant &) override { log << QStringLiteral("about"); }
    void unloadDialogs() override { log << QStringLiteral("unload"); }
    bool integrationRunning() override { return integrating; }
    void endIntegration() override { integrating = false; }
    void assistantGone(kest721Assistant *) override {}

private:
    class Status : public StatusWindow
    {
    public:
        explicit Status(RecordingWindows &w) : m_w(w) { ++m_w.openStatusWindows; }
        ~Status() override { --m_w.openStatusWindows; }
        void Message(const QString &text, const QString &title) override
        {
            m_w.log << title + QLatin1Char('|') + text;
        }
        void Hide() override {}

    private:
        RecordingWindows &m_w;
    };
    class Display : public InstrumentDisplay
    {
    public:
        explicit Display(RecordingWindows &w) : m_w(w) {}
        void Reset() override { m_w.log << QStringLiteral("display reset"); }
        void Show() override {}
        void Hide() override { m_w.log << QStringLiteral("display hidden"); }
        void ShowMessage(const QString &m) override { m_w.log << QStringLiteral("message ") + m; }
        void setValue(double) override {}
        void setUnits(const QString &) override {}
        void setScaleNumber(int16_t) override {}
        void setAlarmState(modAlarm::enumAlarmState s) override
        {
            m_w.log << QStringLiteral("alarm state %1").arg(int(s));
        }
        void setAlarmValue(const QString &t) override { m_w.log << QStringLiteral("alarm ") + t; }
        void setUseAcknowledge(bool) override {}
        void setColors(uint32_t, uint32_t, uint32_t, uint32_t) override {}

    private:
        RecordingWindows &m_w;
    };
};

TEST_F(AssistantRun, WithoutWidgetsTheCoreOpensAndClosesItsWindowsAndDrivesTheDisplay)
{
    RecordingWindows windows;
    auto a = AssistantOnBus::makeAssistant(&sound, nullptr, &windows);
    modTimer::SetTimerInterval(1);
    modTimer::SetTimerDuration(600);
    modAlarm::SetAlarmEnabled(true);
    modAlarm::SetAlarmPoint(0.2);
    QObject::connect(&prompts, &PromptBoard::shown, &prompts,
                     [this](quint32 id, const QString &title) {
                         QTimer::singleShot(0, [this, id, title] {
                             prompts.answer(id, title == u"Disconnect" ? buttonNo : buttonOK);
                         });
                     });

    a->Connect();
    ASSERT_TRUE(a->Initialized());
    EXPECT_TRUE(windows.log.contains(
        QStringLiteral("721 Connection Status|Please wait while connecting to unit...")))
        << windows.log.join(u';').toStdString();
    EXPECT_EQ(windows.openStatusWindows, 0) << "closed once connected";

    int records = 0;
    bool complete = false;
    QObject::connect(a.get(), &kest721Assistant::DataDownload, [&] { ++records; });
    QObject::connect(a.get(), &kest721Assistant::DataDownLoadComplete, [&] { complete = true; });
    a->DownloadLog();
    EXPECT_EQ(windows.openStatusWindows, 1);
    EXPECT_EQ(windows.log.last(), QStringLiteral("721 Connection Status|Downloading internal "
                                                 "data log...\r\nPlease Wait"));
    ASSERT_TRUE(bustest::waitFor([&] { return complete; }, 60000));
    EXPECT_EQ(records, int(meter->log().size()));
    EXPECT_EQ(windows.openStatusWindows, 0);

    // A run while the dialogs integrate is refused; the meter does one or the other.
    windows.integrating = true;
    QStringList boxes;
    QObject::connect(&prompts, &PromptBoard::shown, &prompts,
                     [&](quint32, const QString &, const QString &text) { boxes << text; });
    a->StartLog();
    EXPECT_FALSE(a->isLogging());
    EXPECT_EQ(boxes, QStringList{textIntegrationRunning});

    windows.integrating = false;
    windows.log.clear();
    int samples = 0;
    QObject::connect(a.get(), &kest721Assistant::LiveData, [&] { ++samples; });
    a->StartLog();
    ASSERT_TRUE(bustest::waitFor([&] { return samples >= 1; }));
    a->StopLog();
    const QStringList expectedStart{
        QStringLiteral("display reset"), QStringLiteral("alarm state 1"),
        QStringLiteral("alarm 0.2 mR/h"), QStringLiteral("message Please Wait...")};
    EXPECT_EQ(windows.log.mid(0, 4), expectedStart) << windows.log.join(u';').toStdString();
    EXPECT_EQ(windows.log.last(), QStringLiteral("display hidden"));

    a->ShowOptions();
    a->Disconnect();
    EXPECT_EQ(windows.log.mid(windows.log.size() - 2),
              (QStringList{QStringLiteral("options"), QStringLiteral("unload")}));
}

} // namespace

namespace
{
TEST_F(AssistantRun, ALostLinkShowsConnectionLostWithoutSamplesUntilTheRunResumes)
{
    // The journal records the run with its details and the gap.
    QTemporaryDir journalDir;
    Journal journal(journalDir.filePath(QStringLiteral("journal.sqlite")));
    ASSERT_TRUE(journal.isOpen());
    QStringList boxes;
    QObject::connect(&prompts, &PromptBoard::shown, &prompts,
                     [&](quint32 id, const QString &title) {
                         boxes << title;
                         QTimer::singleShot(0, [this, id] { prompts.answer(id, buttonNo); });
                     });
    auto a = makeAssistant(&journal);
    a->SetRunInfo(QStringLiteral("Lab \"B\", hood 2\nЛаборатория"), QStringLiteral("after spill"),
                  QString());
    a->Connect();
    ASSERT_TRUE(a->Initialized());
    watch(*a);
    // Only a run that lost its link can be resumed.
    EXPECT_THROW(a->ResumeLog(), norvale::platform::AutomationError);
    a->StartLog();
    ASSERT_TRUE(bustest::waitFor([&] { return samples >= 2; }));

    meter->dropLine();
    ASSERT_TRUE(bustest::waitFor([&] { return errors == 1; }));
    auto *message =
        hostedDisplay(a->display())->frm()->findChild<QLabel *>(QStringLiteral("lblMessage"));
    ASSERT_NE(message, nullptr);
    EXPECT_TRUE(hostedDisplay(a->display())->frm()->isVisible());
    EXPECT_TRUE(message->isVisible());
    EXPECT_EQ(message->text(), QStringLiteral("Connection lost"));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(message)->text(QAccessible::Name),
              QStringLiteral("Connection lost"));
    EXPECT_TRUE(a->isLinkLost());
    EXPECT_FALSE(a->Initialized());

    // With nothing on the port a try fails at once, by error and not by box,
    // and the last reading is not sampled again while the link is down.
    const int atLoss = samples;
    EXPECT_THROW(a->ResumeLog(), norvale::platform::AutomationError);
    EXPECT_TRUE(a->isLogging());
    EXPECT_FALSE(bustest::waitFor([&] { return samples > atLoss; }, 2500));
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join(u',').toStdString();

    plugMeter();
    a->ResumeLog();
    ASSERT_TRUE(bustest::waitFor([&] { return samples >= atLoss + 2; }));
    EXPECT_FALSE(message->isVisible());
    EXPECT_FALSE(a->isLinkLost());
    EXPECT_TRUE(a->Initialized());
    EXPECT_EQ(errors, 1);
    EXPECT_THROW(a->ResumeLog(), norvale::platform::AutomationError);
    a->StopLog();
    a->Disconnect();

    const QList<Journal::Run> runs = journal.runs();
    ASSERT_EQ(runs.size(), 1);
    const Journal::Run &run = runs[0];
    EXPECT_EQ(run.rows, samples);
    EXPECT_FALSE(run.serialNumber.isEmpty());
    EXPECT_EQ(run.info.model, u"720K");
    EXPECT_EQ(run.info.units, u"mR/h");
    EXPECT_EQ(run.info.location, QStringLiteral("Lab \"B\", hood 2\nЛаборатория"));
    EXPECT_EQ(run.info.note, u"after spill");
    EXPECT_FALSE(run.info.operatorName.isEmpty()) << "the login name stands in";
    EXPECT_FALSE(run.info.timeZone.isEmpty());
    ASSERT_TRUE(run.startedUtc && run.endedUtc);
    const QList<Journal::Row> rows = journal.rows(run.id);
    ASSERT_FALSE(rows.isEmpty());
    for (const Journal::Row &row : rows) {
        ASSERT_TRUE(row.utc);
        EXPECT_GE(*row.utc, *run.startedUtc);
        EXPECT_LE(*row.utc, *run.endedUtc);
        EXPECT_FALSE(row.rangeLabel.isEmpty());
        EXPECT_TRUE(row.alarmState);
    }
    const QList<Journal::Event> marks = journal.events(run.id);
    ASSERT_EQ(marks.size(), 2);
    EXPECT_EQ(marks[0].kind, Journal::EventKind::LinkLost);
    EXPECT_EQ(marks[1].kind, Journal::EventKind::LinkRestored);
    // The gap holds no row: the rows before it are older than the loss, the
    // rows after it newer than the return.
    const auto before = std::count_if(rows.begin(), rows.end(),
                                      [&](const Journal::Row &r) { return *r.utc < marks[0].utc; });
    EXPECT_EQ(before, atLoss);
    EXPECT_TRUE(std::all_of(rows.begin() + before, rows.end(),
                            [&](const Journal::Row &r) { return *r.utc > marks[1].utc; }));
}
} // namespace

namespace
{
TEST_F(AssistantRun, AResumedRunLooksForItsMeterWhereItWasThenWhereThePortSettingSays)
{
    auto a = makeAssistant();
    a->Connect();
    ASSERT_TRUE(a->Initialized());
    watch(*a);
    a->StartLog();
    ASSERT_TRUE(bustest::waitFor([&] { return samples >= 1; }));

    // Another host's Assistant has stored its own port meanwhile.
    meter->dropLine();
    ASSERT_TRUE(bustest::waitFor([&] { return errors == 1; }));
    modMain::ComPort = 7;
    plugMeter(3);
    a->ResumeLog();
    int resumedAt = samples;
    ASSERT_TRUE(bustest::waitFor([&] { return samples > resumedAt; }));

    // The adapter comes back elsewhere and the person sets its new port.
    meter->dropLine();
    ASSERT_TRUE(bustest::waitFor([&] { return errors == 2; }));
    modMain::ComPort = 5;
    plugMeter(5);
    a->ResumeLog();
    resumedAt = samples;
    ASSERT_TRUE(bustest::waitFor([&] { return samples > resumedAt; }));
    EXPECT_FALSE(a->isLinkLost());
    a->StopLog();
}

TEST_F(AssistantRun, ARunStoppedAfterItsLinkWasLostLeavesTheMeterUnconnectedUntilConnect)
{
    QStringList boxes;
    QObject::connect(&prompts, &PromptBoard::shown, &prompts,
                     [&](quint32 id, const QString &, const QString &text) {
                         boxes << text;
                         QTimer::singleShot(0, [this, id] { prompts.answer(id, buttonOK); });
                     });
    auto a = makeAssistant();
    a->Connect();
    watch(*a);
    a->StartLog();
    ASSERT_TRUE(bustest::waitFor([&] { return samples >= 1; }));
    meter->dropLine();
    ASSERT_TRUE(bustest::waitFor([&] { return errors == 1; }));

    // A host that shows the state by Initialized must not call the meter
    // connected while its port has gone, and a new run says why it cannot start.
    a->StopLog();
    EXPECT_FALSE(a->Initialized());
    a->StartLog();
    EXPECT_FALSE(a->isLogging());
    EXPECT_EQ(boxes, QStringList{QStringLiteral("The 721 Control has not been initialized.")});

    plugMeter();
    a->Connect();
    EXPECT_TRUE(a->Initialized());
    a->StartLog();
    EXPECT_TRUE(a->isLogging());
    a->StopLog();
}
} // namespace

namespace
{
// The Assistant's settings as stored, value by value.
class StoredSettings : public assistanttest::AssistantOnBus
{
protected:
    const QString section = QString::fromLatin1(settings::SectionKey);
    void SetUp() override
    {
        AssistantOnBus::SetUp();
        platform::deleteTree(platform::HKEY_CURRENT_USER, section);
    }
    void storeText(const char *name, const QString &text)
    {
        platform::Key key;
        ASSERT_EQ(platform::createKey(platform::HKEY_CURRENT_USER, section,
                                      platform::KEY_ALL_ACCESS, key),
                  platform::ERROR_SUCCESS);
        const QByteArray data = text.toUtf8() + '\0';
        ASSERT_EQ(platform::setValue(key, QString::fromLatin1(name), platform::REG_SZ, data),
                  platform::ERROR_SUCCESS);
    }
    void storeNumber(const char *name, uint32_t n)
    {
        platform::Key key;
        ASSERT_EQ(platform::createKey(platform::HKEY_CURRENT_USER, section,
                                      platform::KEY_ALL_ACCESS, key),
                  platform::ERROR_SUCCESS);
        QByteArray data(4, '\0');
        qToLittleEndian(n, data.data());
        ASSERT_EQ(platform::setValue(key, QString::fromLatin1(name), platform::REG_DWORD, data),
                  platform::ERROR_SUCCESS);
    }
    std::optional<QString> storedText(const char *name)
    {
        platform::Key key;
        uint32_t type = 0;
        QByteArray data;
        if (platform::openKey(platform::HKEY_CURRENT_USER, section, platform::KEY_READ, key) !=
                platform::ERROR_SUCCESS ||
            platform::readValue(key, QString::fromLatin1(name), &type, &data) !=
                platform::ERROR_SUCCESS)
            return std::nullopt;
        return QString::fromUtf8(data).remove(QChar(0));
    }
};

TEST_F(StoredSettings, FirstUseTakesTheMetersAlarmLevelAndAStoredPointStays)
{
    // The simulated meter's alarm: 50 % of its third range, 50 mR/h.
    const struct {
        const char *legend;
        std::optional<QString> stored;
        double point;
    } cases[] = {
        {"first use", std::nullopt, 25},
        {"a stored 0", QStringLiteral("0"), 0},
        {"a stored 2.5", QStringLiteral("2.5"), 2.5},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.legend);
        platform::deleteTree(platform::HKEY_CURRENT_USER, section);
        if (c.stored)
            storeText(settings::AlarmPoint, *c.stored);
        auto a = makeAssistant();
        EXPECT_EQ(modAlarm::AlarmPointPending(), !c.stored);
        a->Connect();
        ASSERT_TRUE(a->Initialized());
        EXPECT_EQ(modAlarm::GetAlarmPoint(), c.point);
        EXPECT_TRUE(modAlarm::GetAlarmEnabled());
        // Stored at once: a server that ends without saving keeps it.
        EXPECT_EQ(storedText(settings::AlarmPoint), c.stored.value_or(QStringLiteral("25")));
        a.reset();
        EXPECT_EQ(storedText(settings::AlarmPoint), c.stored.value_or(QStringLiteral("25")));
    }
}

TEST_F(StoredSettings, ARunGoingKeepsItsClockAndAlarmWhenAnotherHostStoresItsOwn)
{
    auto a = makeAssistant();
    a->Connect();
    ASSERT_TRUE(a->Initialized());
    modTimer::SetTimerInterval(1);
    modTimer::SetTimerDuration(600);
    modAlarm::SetAlarmEnabled(true);
    a->StartLog();
    const modMain::RunSettings before = modMain::CurrentRunSettings();
    ASSERT_EQ(before.alarmPoint, 25); // the meter's own level, taken at first use

    // What a second host stores just before it makes its Assistant.
    storeNumber(settings::TimerInterval, 5);
    storeNumber(settings::TimerLength, 7);
    storeText(settings::AlarmPoint, QStringLiteral("1"));
    storeNumber(settings::AlarmEnabled, 0);
    auto b = makeAssistant();
    const modMain::RunSettings during = modMain::CurrentRunSettings();
    EXPECT_EQ(std::tuple(during.intervalSeconds, during.lengthSeconds, during.alarmPoint,
                         during.alarmPointPending, during.alarmEnabled),
              std::tuple(1, 600, 25.0, false, true));
    b.reset();

    // Once the run has ended, an Assistant reads what is stored.
    a->StopLog();
    storeNumber(settings::TimerInterval, 5);
    storeNumber(settings::TimerLength, 7);
    storeText(settings::AlarmPoint, QStringLiteral("1"));
    auto c = makeAssistant();
    const modMain::RunSettings after = modMain::CurrentRunSettings();
    EXPECT_EQ(std::tuple(after.intervalSeconds, after.lengthSeconds, after.alarmPoint),
              std::tuple(5, 7, 1.0));
}

TEST_F(StoredSettings, TheInstrumentWindowOpensWhereItWasLeft)
{
    const QPoint left(40, 70);
    {
        auto a = makeAssistant();
        a->Connect();
        ASSERT_TRUE(a->display());
        a->display()->Show();
        hostedDisplay(a->display())->frm()->move(left);
    }
    EXPECT_EQ(storedText(settings::DisplayPosition), QStringLiteral("40,70"));
    auto a = makeAssistant();
    a->Connect();
    ASSERT_TRUE(a->display());
    a->display()->Show();
    EXPECT_EQ(hostedDisplay(a->display())->frm()->frameGeometry().topLeft(), left);
}
} // namespace
