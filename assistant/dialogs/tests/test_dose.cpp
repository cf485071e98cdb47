// The logging properties and the integrated-dose measurement against the
// real kest720 server and the simulated meter.
#include "assistant/dialogs/tests/DialogFixture.h"
#include "assistant/dialogs/frmDataLog.h"
#include "assistant/dialogs/frmDose.h"
#include "assistant/dialogs/frmDoseProgress.h"

#include <QAccessible>
#include <QCheckBox>
#include <QProgressBar>
#include <QSignalSpy>

using namespace norvale::assistant;
using namespace dialogtest;

namespace
{

// The form helper, not the namespace norvale::control that the directive also names.
using dialogtest::control;

void store(const char *name, int32_t value)
{
    cRegistry r = setting(name);
    r.setValueType(cRegistry::REG_DWORD);
    r.setValue(QVariant(value));
}

// The button's name as a screen reader hears it.
QString heard(QWidget *button)
{
    return QAccessible::queryAccessibleInterface(button)->text(QAccessible::Name);
}

// Fills the dose setup (timed or not, `value` in `unit`) and presses Start.
frmDose *startDose(kest721Assistant &assistant, bool timed, const char *value, const char *unit)
{
    assistant.ShowIntegrate();
    frmDose *f = norvale::assistant::dose();
    control<QCheckBox>(f, "chkTimer")->setChecked(timed);
    setText(f, "txtTimer", QString::fromLatin1(value));
    choose(f, "cboUnit", QString::fromLatin1(unit));
    click(f, "cmdStart");
    return f;
}

TEST_F(DialogTest, LoggingPropertiesShowStoredTimesInTheirLargestWholeUnit)
{
    const struct {
        int32_t interval, length;
        const char *rate, *rateUnit, *len, *lenUnit;
    } cases[] = {
        {30, 3600, "30", "second(s)", "1", "hour(s)"},
        {120, 90, "2", "minute(s)", "1.5", "minute(s)"},
        {7200, 172800, "2", "hour(s)", "2", "day(s)"},
        {0, 60, "0", "hour(s)", "1", "minute(s)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.interval);
        modTimer::SetTimerInterval(c.interval);
        modTimer::SetTimerDuration(c.length);
        assistant->ShowProperties();
        frmDataLog *f = norvale::assistant::dataLog();
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(text(f, "txtRate"), QString::fromLatin1(c.rate));
        EXPECT_EQ(text(f, "cboRate"), QString::fromLatin1(c.rateUnit));
        EXPECT_EQ(text(f, "txtLength"), QString::fromLatin1(c.len));
        EXPECT_EQ(text(f, "cboLength"), QString::fromLatin1(c.lenUnit));
        click(f, "cmdCancel");
    }
}

TEST_F(DialogTest, LoggingPropertiesStoreWhatOkAcceptsAndRefuseTheRest)
{
    const QString lessThanOne = QStringLiteral("Cannot enter a value less than 1.");
    const QString notShorter = QStringLiteral("The sample time must be less than the total time.");
    const struct {
        const char *rate, *rateUnit, *len, *lenUnit, *alarm;
        QString box;
        int32_t interval, length; // stored when there is no box
    } cases[] = {
        {"30", "second(s)", "1", "hour(s)", "2.5", {}, 30, 3600},
        {"2", "minute(s)", "2.5", "hour(s)", "0", {}, 120, 7200},     // halves go to even
        {"60", "second(s)", "1", "minute(s)", "0", notShorter, 0, 0}, // equal is refused
        {"x", "second(s)", "1", "hour(s)", "0", lessThanOne, 0, 0},
        {"5", "second(s)", "", "hour(s)", "0", lessThanOne, 0, 0},
        {"5x", "second(s)", "1", "hour(s)", "0",
         QStringLiteral("The sample time must be a number."), 0, 0},
        {"5", "second(s)", "1", "hour(s)", "high",
         QStringLiteral("The alarm level must be a number."), 0, 0},
        {"1", "second(s)", "30", "day(s)", "0",
         QStringLiteral("The total time is too long. A logging run lasts 24 days at most."), 0, 0},
        {"1", "hour(s)", "100000000", "day(s)", "0",
         QStringLiteral("The total time is too long. A logging run lasts 24 days at most."), 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << ' ' << c.len);
        modTimer::SetTimerInterval(7);
        modTimer::SetTimerDuration(700);
        modAlarm::SetAlarmPoint(9);
        assistant->ShowProperties();
        frmDataLog *f = norvale::assistant::dataLog();
        setText(f, "txtRate", QString::fromLatin1(c.rate));
        choose(f, "cboRate", QString::fromLatin1(c.rateUnit));
        setText(f, "txtLength", QString::fromLatin1(c.len));
        choose(f, "cboLength", QString::fromLatin1(c.lenUnit));
        setText(f, "txtAlarm", QString::fromLatin1(c.alarm));
        control<QCheckBox>(f, "chkEnableAlarm")->setChecked(false);
        click(f, "cmdOK");
        if (c.box.isEmpty()) {
            EXPECT_TRUE(takeBoxes().isEmpty());
            EXPECT_EQ(modTimer::GetTimerInterval(), c.interval);
            EXPECT_EQ(modTimer::GetTimerDuration(), c.length);
            EXPECT_EQ(modAlarm::GetAlarmPoint(), QString::fromLatin1(c.alarm).toDouble());
            EXPECT_FALSE(modAlarm::GetAlarmEnabled());
            EXPECT_EQ(stored(settings::TimerLength).toInt(), c.length);
            EXPECT_EQ(norvale::assistant::dataLog(), nullptr);
        } else {
            EXPECT_EQ(takeBoxes(), QStringList{c.box});
            EXPECT_EQ(modTimer::GetTimerInterval(), 7);
            EXPECT_EQ(modTimer::GetTimerDuration(), 700);
            EXPECT_EQ(modAlarm::GetAlarmPoint(), 9);
            EXPECT_EQ(norvale::assistant::dataLog(), f);
            click(f, "cmdCancel");
        }
    }
}

TEST_F(DialogTest, GetAlarmTakesTheMetersBlinkAlarmInAlarmUnits)
{
    connectMeter();
    const struct {
        int16_t range, percent;
        bool checked;
        const char *level;
    } cases[] = {
        {2, 50, true, "2.5"},  // 50 % of 5 mR/h
        {1, 50, true, "0.25"}, // 50 % of 500 uR/h
        {5, 10, true, "500"},  // 10 % of 5 R/h
        {6, 40, false, "0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.level);
        assistant->Control().setAlarmPercent(c.percent);
        assistant->Control().setAlarmRange(c.range);
        assistant->ShowProperties();
        frmDataLog *f = norvale::assistant::dataLog();
        EXPECT_EQ(text(f, "lblRange"), QStringLiteral("mR/h"));
        click(f, "cmd720Alarm");
        EXPECT_EQ(control<QCheckBox>(f, "chkEnableAlarm")->isChecked(), c.checked);
        EXPECT_EQ(text(f, "txtAlarm"), QString::fromLatin1(c.level));
        click(f, "cmdCancel");
    }
}

TEST_F(DialogTest, DoseSetupReadsItsStoredTimerAndRefusesBadLengths)
{
    const struct {
        int32_t stored;
        const char *shown, *unit;
    } shown[] = {{90, "1.5", "minute(s)"},
                 {7200, "2", "hour(s)"},
                 {172800, "2", "day(s)"},
                 {0, "0", "day(s)"}};
    for (const auto &s : shown) {
        store(settings::IntegrateTime, s.stored);
        assistant->ShowIntegrate();
        EXPECT_EQ(text(norvale::assistant::dose(), "txtTimer"), QString::fromLatin1(s.shown));
        EXPECT_EQ(text(norvale::assistant::dose(), "cboUnit"), QString::fromLatin1(s.unit));
    }
    const QString belowOne = QStringLiteral("Integrate time value must be greater than 1.");
    const struct {
        const char *value, *unit;
        QString box;
    } refused[] = {
        {"0", "minute(s)", belowOne},
        {"0.4", "minute(s)", belowOne},
        {"soon", "hour(s)", belowOne},
        {"25", "day(s)",
         QStringLiteral("The integration time is too long. An integration lasts 24 days at most.")},
    };
    store(settings::IntegrateTime, 60);
    for (const auto &r : refused) {
        SCOPED_TRACE(r.value);
        frmDose *f = startDose(*assistant, true, r.value, r.unit);
        EXPECT_EQ(takeBoxes(), QStringList{r.box});
        EXPECT_TRUE(f->isVisible());
        EXPECT_FALSE(norvale::assistant::integrationRunning());
        EXPECT_EQ(stored(settings::IntegrateTime).toInt(), 60);
    }
}

class DoseRun : public DialogTest
{
protected:
    void SetUp() override
    {
        DialogTest::SetUp();
        modTimer::setClockSources(&fast, nullptr);
        // The user's logging values, which the integration must give back.
        modTimer::SetTimerInterval(5);
        modTimer::SetTimerDuration(120);
        QObject::connect(assistant.get(), &kest721Assistant::DoseRate, assistant.get(),
                         [this](double dose, double rate) {
                             results.push_back({dose, rate});
                         });
        meter->setDoseRate(360000); // 360 mR/h: 0.1 mR a second
    }

    // Starts a measurement from the setup dialog (timed: `value` in `unit`).
    void start(bool timed, const char *value = "1", const char *unit = "minute(s)")
    {
        begin(timed, value, unit);
        ASSERT_NE(progress, nullptr);
    }

    // The same, for a measurement that may be over before Start returns.
    void begin(bool timed, const char *value = "1", const char *unit = "minute(s)")
    {
        startDose(*assistant, timed, value, unit);
        progress = norvale::assistant::doseProgress();
    }

    bool reaches(frmDoseProgress::Phase phase)
    {
        return bustest::waitFor([&] { return !progress || progress->phase() >= phase; });
    }

    // Whether the measurement is over (or its window gone) within `ms`.
    bool ended(int ms = 30000)
    {
        return bustest::waitFor([&] { return !progress || !progress->running(); }, ms);
    }

    void expectProgressGone()
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_EQ(norvale::assistant::doseProgress(), nullptr);
    }

    void expectUserTimesBack()
    {
        EXPECT_EQ(modTimer::GetTimerInterval(), 5);
        EXPECT_EQ(modTimer::GetTimerDuration(), 120);
    }

    // Ten times faster than real time: the 30-second wait takes 3 s.
    FastClock fast{10};
    QPointer<frmDoseProgress> progress;
    std::vector<std::pair<double, double>> results;
};

TEST_F(DoseRun, ATimedMeasurementReportsTheMetersDoseAndItsAverage)
{
    connectMeter();
    start(true, "1", "minute(s)");
    EXPECT_EQ(stored(settings::IntegrateTime).toInt(), 60);
    EXPECT_EQ(stored(settings::UseIntegrateTimer).toInt(), 1);
    EXPECT_FALSE(norvale::assistant::dose()->isVisible());
    ASSERT_TRUE(reaches(frmDoseProgress::Phase::Waiting));
    EXPECT_EQ(control<QAbstractButton>(progress, "cmdStop")->text(), QStringLiteral("Cancel"));
    EXPECT_EQ(heard(control<QAbstractButton>(progress, "cmdStop")), QStringLiteral("Cancel"));
    EXPECT_EQ(text(progress, "lblMsg"), QStringLiteral("Please wait for 30 seconds ..."));
    EXPECT_EQ(meter->state(), norvale::simulator::State::Streaming);
    ASSERT_TRUE(reaches(frmDoseProgress::Phase::Integrating));
    EXPECT_EQ(text(progress, "lblMsg"), QStringLiteral("Integrating for 1 minute ..."));
    EXPECT_EQ(control<QAbstractButton>(progress, "cmdStop")->text(), QStringLiteral("Stop"));
    EXPECT_EQ(heard(control<QAbstractButton>(progress, "cmdStop")), QStringLiteral("Stop"));
    EXPECT_EQ(control<QProgressBar>(progress, "ProgressBar1")->maximum(), 60);
    ASSERT_TRUE(bustest::waitFor([&] { return !results.empty(); }, 60000));
    ASSERT_EQ(results.size(), 1u);
    const auto [dose, rate] = results.front();
    // The dose as the meter reports it (three decimals), the rate per hour
    // over whole seconds of the timed phase, which ends just past its length.
    EXPECT_NEAR(dose, meter->integratedDose(), 0.0006);
    EXPECT_GT(dose, 0);
    const double measured = dose * 3600 / rate;
    EXPECT_NEAR(measured, std::round(measured), 1e-6);
    EXPECT_GE(std::round(measured), 60);
    EXPECT_LE(std::round(measured), 63);
    EXPECT_NE(meter->state(), norvale::simulator::State::Streaming);
    expectUserTimesBack();
    EXPECT_TRUE(takeBoxes().isEmpty());
    expectProgressGone();
}

TEST_F(DoseRun, AnOpenEndedMeasurementRunsUntilStop)
{
    connectMeter();
    start(false);
    EXPECT_EQ(stored(settings::UseIntegrateTimer).toInt(), 0);
    ASSERT_TRUE(reaches(frmDoseProgress::Phase::Integrating));
    EXPECT_EQ(text(progress, "lblMsg"), QStringLiteral("Integrating until stop is pressed."));
    EXPECT_FALSE(control<QWidget>(progress, "ProgressBar1")->isVisible());
    EXPECT_FALSE(control<QWidget>(progress, "lblRemaining")->isVisible());
    // Well past any length a timer could have set.
    ASSERT_TRUE(bustest::waitFor([&] {
        return modTimer::TickSeconds() > 0 && !text(progress, "lblIntegrating").isEmpty();
    }));
    QThread::msleep(300);
    EXPECT_TRUE(results.empty());
    click(progress, "cmdStop");
    ASSERT_TRUE(bustest::waitFor([&] { return !results.empty(); }));
    EXPECT_NEAR(results.front().first, meter->integratedDose(), 0.0006);
    expectUserTimesBack();
}

TEST_F(DoseRun, NoDoseIsReportedForAMeasurementThatMeasuredNothing)
{
    connectMeter();
    // Cancel during the wait: integrate mode ends, no dose is read.
    start(true);
    ASSERT_TRUE(reaches(frmDoseProgress::Phase::Waiting));
    meter->clearReceived();
    click(progress, "cmdStop");
    ASSERT_TRUE(ended());
    EXPECT_FALSE(meter->received().contains('R'));
    EXPECT_NE(meter->state(), norvale::simulator::State::Streaming);
    expectUserTimesBack();

    // The dose cannot be read: the meter falls silent during the measurement.
    start(true);
    ASSERT_TRUE(reaches(frmDoseProgress::Phase::Integrating));
    meter->setSilent(true);
    click(progress, "cmdStop");
    ASSERT_TRUE(ended(120000));
    EXPECT_EQ(takeBoxes(), QStringList{QStringLiteral(
                               "Unable to retrieve the Integrated Dose from the instrument.")});
    meter->setSilent(false);
    expectUserTimesBack();
    EXPECT_TRUE(results.empty());
}

TEST_F(DoseRun, ANeverConnectedMeterCannotStartIntegrateMode)
{
    begin(true);
    ASSERT_TRUE(ended(60000));
    // The box tells what the instrument object said when asked to integrate.
    const QString refusal =
        bustest::errorOf([&] { assistant->Control().StartIntegrate(); }).description();
    EXPECT_FALSE(refusal.isEmpty());
    EXPECT_EQ(takeBoxes(), QStringList{refusal});
    EXPECT_TRUE(results.empty());
    expectUserTimesBack();
}

TEST_F(DoseRun, IntegrationAndLoggingDoNotOverlap)
{
    connectMeter();
    start(false);
    ASSERT_TRUE(reaches(frmDoseProgress::Phase::Waiting));
    assistant->StartLog();
    EXPECT_EQ(takeBoxes(), QStringList{norvale::assistant::textIntegrationRunning});
    EXPECT_FALSE(assistant->isLogging());
    click(progress, "cmdStop");
    ASSERT_TRUE(bustest::waitFor([&] { return !norvale::assistant::integrationRunning(); }));

    modTimer::setClockSources(nullptr, nullptr);
    assistant->StartLog();
    ASSERT_TRUE(assistant->isLogging());
    assistant->ShowIntegrate();
    click(norvale::assistant::dose(), "cmdStart");
    EXPECT_EQ(takeBoxes(), QStringList{norvale::assistant::textLoggingRunning});
    EXPECT_FALSE(norvale::assistant::integrationRunning());
    EXPECT_TRUE(norvale::assistant::dose()->isVisible());
    assistant->StopLog();
}

TEST_F(DoseRun, DisconnectEndsAnIntegrationWithoutAResult)
{
    connectMeter();
    start(false);
    ASSERT_TRUE(reaches(frmDoseProgress::Phase::Integrating));
    meter->clearReceived();
    assistant->Disconnect();
    EXPECT_FALSE(norvale::assistant::integrationRunning());
    // Integrate mode ended while the port was open: blanks reached the meter
    // before its Disconnect.
    EXPECT_TRUE(meter->received().startsWith(' ')) << meter->received().toStdString();
    EXPECT_NE(meter->state(), norvale::simulator::State::Streaming);
    expectProgressGone();
    QThread::msleep(300);
    QCoreApplication::processEvents();
    EXPECT_TRUE(results.empty());
    expectUserTimesBack();
}

TEST_F(DoseRun, SettingsSavedDuringAnIntegrationKeepTheUsersLoggingTimes)
{
    connectMeter();
    start(false);
    ASSERT_TRUE(reaches(frmDoseProgress::Phase::Waiting));
    EXPECT_EQ(modTimer::GetTimerDuration(), 30); // the clock is the integration's now
    // The logging properties show and change the user's values meanwhile.
    assistant->ShowProperties();
    frmDataLog *f = norvale::assistant::dataLog();
    EXPECT_EQ(text(f, "txtRate"), QStringLiteral("5"));
    setText(f, "txtRate", QStringLiteral("4"));
    click(f, "cmdOK");
    EXPECT_EQ(stored(settings::TimerInterval).toInt(), 4);
    EXPECT_EQ(stored(settings::TimerLength).toInt(), 120);
    click(progress, "cmdStop");
    ASSERT_TRUE(bustest::waitFor([&] { return !norvale::assistant::integrationRunning(); }));
    EXPECT_EQ(modTimer::GetTimerInterval(), 4);
    EXPECT_EQ(modTimer::GetTimerDuration(), 120);
}

TEST_F(DoseRun, DisconnectWhileTheDoseIsQueriedEndsItQuietly)
{
    connectMeter();
    start(true);
    ASSERT_TRUE(reaches(frmDoseProgress::Phase::Integrating));
    // The query waits on a silent meter; the host disconnects meanwhile.
    meter->setSilent(true);
    bool disconnected = false;
    QObject::connect(progress, &frmDoseProgress::phaseChanged, assistant.get(),
                     [&](frmDoseProgress::Phase phase) {
                         if (phase == frmDoseProgress::Phase::Querying)
                             QTimer::singleShot(200, assistant.get(), [&] {
                                 assistant->Disconnect();
                                 disconnected = true;
                             });
                     });
    click(progress, "cmdStop");
    ASSERT_TRUE(bustest::waitFor([&] { return disconnected; }, 120000));
    EXPECT_FALSE(norvale::assistant::integrationRunning());
    expectProgressGone();
    EXPECT_TRUE(results.empty());
    // Only the Disconnect question: no failure box for a query that was given up.
    for (const Box &b : boxes)
        EXPECT_EQ(b.title, QStringLiteral("Disconnect")) << b.text.toStdString();
    meter->setSilent(false);
    expectUserTimesBack();
}

} // namespace
