#include "assistant/dialogs/frmDoseProgress.h"

#include "assistant/dialogs/Dialogs.h"
#include "control/dbus/kest720Proxy.h"
#include "assistant/modTimer.h"
#include "ui_frmDoseProgress.h"

#include <QCloseEvent>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcDose, "norvale.assistant.dose")

namespace norvale::assistant
{

using modTimer::DurationText;

frmDoseProgress::frmDoseProgress(QWidget *parent)
    : AssistantForm(parent), ui(new Ui::frmDoseProgress)
{
    ui->setupUi(this);
    // Wide enough that the longest status line does not resize the window.
    setMinimumWidth(340);
    m_timer.setInterval(pollMs);
    connect(&m_timer, &QTimer::timeout, this, &frmDoseProgress::tick);
    connect(ui->cmdStop, &QPushButton::clicked, this, &frmDoseProgress::cmdStop_Click);
    norvale::assistant::nameControls(this);
}

frmDoseProgress::~frmDoseProgress()
{
    // A window deleted mid-measurement gives the clock back all the same.
    if (running())
        norvale::assistant::detail::returnClock();
}

void frmDoseProgress::Integrate()
{
    FormCode inFormCode;
    mbStop = false;
    m_phase = Phase::Starting;
    norvale::control::kest720Proxy *k = instrument();
    if (!k) {
        ask(QStringLiteral(
            "Internal Error.  721 Control was reset.  Click 'Disconnect' then reconnect."));
        hide();
        finish(true);
        return;
    }
    ui->lblMsg->setText(QStringLiteral("Starting integrate mode... Please Wait"));
    ui->lblIntegrating->clear();
    ui->lblRemaining->clear();
    for (QWidget *w : std::initializer_list<QWidget *>{ui->lbl1, ui->lbl2, ui->ProgressBar1,
                                                       ui->lblIntegrating, ui->lblRemaining})
        w->setVisible(false);
    ui->cmdStop->setEnabled(false);

    QPointer<frmDoseProgress> self(this);
    m_inCall = true;
    try {
        k->StartIntegrate();
    } catch (const platform::AutomationError &e) {
        if (!self)
            return;
        m_inCall = false;
        if (m_phase != Phase::Starting)
            return;
        // The window stays until the runner unloads it; no dose was measured.
        ask(e.description());
        if (self)
            finish(true);
        return;
    }
    if (!self)
        return;
    m_inCall = false;
    if (m_phase != Phase::Starting)
        return;

    m_phase = Phase::Waiting;
    ui->lblMsg->setText(QStringLiteral("Please wait for ") + DurationText(waitSeconds) +
                        QStringLiteral("..."));
    ui->lblRemaining->setText(DurationText(waitSeconds));
    ui->lblRemaining->setVisible(true);
    ui->lblIntegrating->setVisible(false);
    ui->cmdStop->setText(QStringLiteral("Cancel"));
    ui->lbl1->setVisible(false);
    ui->ProgressBar1->setVisible(true);
    ui->lbl2->setVisible(true);
    ui->cmdStop->setEnabled(true);
    ui->ProgressBar1->setRange(0, waitSeconds);
    ui->ProgressBar1->setValue(0);
    norvale::assistant::detail::borrowClock();
    modTimer::SetTimerInterval(1);
    modTimer::SetTimerDuration(waitSeconds);
    modTimer::RestartTimer();
    m_end = modTimer::TickSeconds() + waitSeconds;
    m_timer.start();
    emit phaseChanged(m_phase);
}

void frmDoseProgress::tick()
{
    FormCode inFormCode;
    // The instrument's calls run the event loop while they wait: a tick or a
    // click that comes in meanwhile waits for the next look at the clock.
    if (m_inCall)
        return;
    if (m_phase == Phase::Waiting) {
        if (modTimer::IntervalElapsed()) {
            const int32_t remaining = m_end - modTimer::TickSeconds();
            ui->lblRemaining->setText(DurationText(remaining));
            ui->ProgressBar1->setValue(qBound(0, waitSeconds - remaining, waitSeconds));
        }
        if (mbStop) {
            // Cancelled during the wait: integrate mode ends, no dose is read.
            m_timer.stop();
            if (!stopInstrument() || m_phase != Phase::Waiting)
                return; // unloaded or ended meanwhile
            hide();
            finish(true);
        } else if (modTimer::DurationElapsed()) {
            beginIntegration();
        }
        return;
    }
    if (m_phase != Phase::Integrating)
        return;
    if (modTimer::IntervalElapsed()) {
        const int32_t elapsed = modTimer::TickSeconds() - m_start;
        ui->lblIntegrating->setText(DurationText(elapsed));
        if (m_useTimer) {
            ui->ProgressBar1->setValue(qBound(0, elapsed, ui->ProgressBar1->maximum()));
            ui->lblRemaining->setText(DurationText(m_finish - modTimer::TickSeconds()));
        }
    }
    if (m_useTimer && modTimer::DurationElapsed())
        mbStop = true;
    if (mbStop)
        queryDose();
}

void frmDoseProgress::beginIntegration()
{
    m_phase = Phase::Integrating;
    ui->cmdStop->setText(QStringLiteral("Stop"));
    m_start = modTimer::TickSeconds();
    m_finish = modTimer::TickSeconds() + m_timerSeconds;
    try {
        if (m_useTimer)
            modTimer::SetTimerDuration(m_timerSeconds);
    } catch (const platform::AutomationError &e) {
        qCWarning(lcDose).noquote() << "measurement length not set:" << e.description();
    }
    modTimer::RestartTimer();
    ui->ProgressBar1->setRange(0, qMax(1, m_timerSeconds));
    ui->ProgressBar1->setValue(0);
    ui->lbl1->setVisible(true);
    ui->lblIntegrating->clear();
    ui->lblIntegrating->setVisible(true);
    if (m_useTimer) {
        ui->lblMsg->setText(QStringLiteral("Integrating for ") + DurationText(m_timerSeconds) +
                            QStringLiteral("..."));
    } else {
        ui->lblMsg->setText(QStringLiteral("Integrating until stop is pressed."));
        ui->lblRemaining->setVisible(false);
        ui->lbl2->setVisible(false);
        ui->ProgressBar1->setVisible(false);
    }
    emit phaseChanged(m_phase);
}

void frmDoseProgress::queryDose()
{
    m_phase = Phase::Querying;
    m_timer.stop();
    ui->lblMsg->setText(QStringLiteral("Querying instrument for integrated dose. Please wait..."));
    for (QWidget *w : std::initializer_list<QWidget *>{ui->ProgressBar1, ui->lbl1, ui->lbl2,
                                                       ui->lblIntegrating, ui->lblRemaining})
        w->setVisible(false);
    ui->cmdStop->setEnabled(false);
    ui->lblMsg->repaint();
    m_measured = modTimer::TickSeconds() - m_start;

    QPointer<frmDoseProgress> self(this);
    emit phaseChanged(m_phase);
    if (!self || m_phase != Phase::Querying)
        return;
    bool failed = false;
    m_inCall = true;
    try {
        norvale::control::kest720Proxy *k = instrument();
        if (!k)
            throw platform::AutomationError(91, QString(), QStringLiteral("no instrument object"));
        k->StopLog();
        if (self && m_phase == Phase::Querying)
            Dose = k->GetDose();
    } catch (const platform::AutomationError &e) {
        qCWarning(lcDose).noquote() << "dose not read:" << e.description();
        failed = true;
    }
    if (!self)
        return;
    m_inCall = false;
    if (m_phase != Phase::Querying)
        return; // ended meanwhile
    if (failed) {
        // Decided: a dose that could not be read is not reported as 0.
        ask(QStringLiteral("Unable to retrieve the Integrated Dose from the instrument."));
        if (!self)
            return;
        hide();
        finish(true);
        return;
    }
    AverageRate = m_measured == 0 ? 0 : Dose * 3600 / m_measured;
    hide();
    finish(false);
}

bool frmDoseProgress::stopInstrument()
{
    QPointer<frmDoseProgress> self(this);
    m_inCall = true;
    try {
        if (norvale::control::kest720Proxy *k = instrument())
            k->StopLog();
    } catch (const platform::AutomationError &e) {
        qCInfo(lcDose).noquote() << "StopLog failed (ignored):" << e.description();
    }
    if (!self)
        return false;
    m_inCall = false;
    return true;
}

void frmDoseProgress::abort()
{
    FormCode inFormCode;
    if (!running())
        return;
    m_timer.stop();
    const Phase was = m_phase;
    m_phase = Phase::Done; // the calls in flight see this and go no further
    // A StopLog already on its way ends integrate mode by itself.
    if ((was == Phase::Waiting || was == Phase::Integrating) && !m_inCall && !stopInstrument())
        return;
    // finish() is the one exit; it gives the clock back when it was borrowed.
    m_phase = was == Phase::Starting ? Phase::Starting : Phase::Querying;
    finish(true);
}

void frmDoseProgress::finish(bool canceled)
{
    if (m_phase == Phase::Done)
        return;
    m_timer.stop();
    const bool borrowed = m_phase != Phase::Starting;
    m_phase = Phase::Done;
    if (borrowed)
        norvale::assistant::detail::returnClock();
    if (canceled)
        Canceled = true;
    hide();
    emit finished();
}

void frmDoseProgress::cmdStop_Click()
{
    FormCode inFormCode;
    mbStop = true;
    ui->cmdStop->setEnabled(false);
    // Served at once, not at the next look at the clock.
    tick();
}

void frmDoseProgress::closeEvent(QCloseEvent *e)
{
    mbStop = true;
    e->accept();
    if (running())
        QTimer::singleShot(0, this, &frmDoseProgress::tick);
}

void frmDoseProgress::reject()
{
    close();
}

} // namespace norvale::assistant
