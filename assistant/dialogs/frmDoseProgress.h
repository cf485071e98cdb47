#pragma once
// The integrated-dose measurement: integrate mode started on the meter, a
// fixed 30-second wait, the measurement (timed or until Stop), then the
// dose read from the meter and the average rate worked out. It is driven by
// a timer of the event loop, so the window, the host and the meter's events
// are served throughout without the measurement taking a core.
#include "assistant/dialogs/AssistantForm.h"

#include <QTimer>
#include <cstdint>
#include <memory>

namespace Ui
{
class frmDoseProgress;
}

namespace norvale::assistant
{

class frmDoseProgress : public AssistantForm
{
    Q_OBJECT
public:
    enum class Phase { Idle, Starting, Waiting, Integrating, Querying, Done };
    static constexpr int32_t waitSeconds = 30;
    // How often the timer looks at the tick count: the labels change once a
    // second, and Stop is served at once by its own handler.
    static constexpr int pollMs = 250;

    explicit frmDoseProgress(QWidget *parent = nullptr);
    ~frmDoseProgress() override;

    bool mbStop = false;
    bool Canceled = false;
    double Dose = 0;
    double AverageRate = 0;
    bool UseTimer() const { return m_useTimer; }
    void setUseTimer(bool value) { m_useTimer = value; }
    int32_t Timer() const { return m_timerSeconds; }
    void setTimer(int32_t seconds) { m_timerSeconds = seconds; }

    // Starts the measurement and returns; finished() follows when it is over.
    void Integrate();
    // Ends the measurement at once without a result; integrate mode is ended
    // on the meter unless the dose is already being read.
    void abort();
    Phase phase() const { return m_phase; }
    bool running() const { return m_phase != Phase::Idle && m_phase != Phase::Done; }
    // The measured time of the integration phase in whole seconds (after the query).
    int32_t measuredSeconds() const { return m_measured; }

signals:
    // A new phase began; its labels are already set.
    void phaseChanged(norvale::assistant::frmDoseProgress::Phase phase);
    void finished();

protected:
    void closeEvent(QCloseEvent *e) override;
    void reject() override;

private:
    void tick();
    void beginIntegration();
    void queryDose();
    // StopLog on the meter, errors ignored; false when the window was
    // deleted while the call waited.
    bool stopInstrument();
    void finish(bool canceled);
    void cmdStop_Click();

    std::unique_ptr<Ui::frmDoseProgress> ui;
    QTimer m_timer;
    Phase m_phase = Phase::Idle;
    bool m_useTimer = false;
    int32_t m_timerSeconds = 0;
    int32_t m_end = 0;
    int32_t m_start = 0;
    int32_t m_finish = 0;
    int32_t m_measured = 0;
    bool m_inCall = false;
};

} // namespace norvale::assistant
