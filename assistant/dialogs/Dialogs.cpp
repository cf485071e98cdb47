#include "assistant/dialogs/Dialogs.h"

#include "assistant/dialogs/frmAbout.h"
#include "assistant/dialogs/frmDataLog.h"
#include "assistant/dialogs/frmDose.h"
#include "assistant/dialogs/frmDoseProgress.h"
#include "assistant/dialogs/frmOptions.h"
#include "assistant/kest721Assistant.h"
#include "assistant/modMain.h"
#include "assistant/modTimer.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLoggingCategory>
#include <QPointer>
#include <QTabBar>
#include <QTabWidget>
#include <optional>

Q_LOGGING_CATEGORY(lcDialogs, "norvale.assistant.dialogs")

namespace norvale::assistant
{

namespace
{
QPointer<frmOptions> g_options;
QPointer<frmDataLog> g_dataLog;
QPointer<frmDose> g_dose;
QPointer<frmDoseProgress> g_progress;
QPointer<frmAbout> g_about;

struct LoggingTimes {
    int32_t interval;
    int32_t length;
};
// The user's values while an integration has the clock.
std::optional<LoggingTimes> g_userTimes;

// Loads the single shared instance of a form when needed and shows it.
template <typename Form> void showShared(QPointer<Form> &form, kest721Assistant &assistant)
{
    if (!form)
        form = new Form;
    form->setAssistant(&assistant);
    form->showForm();
}

template <typename Form> void unloadShared(QPointer<Form> &form)
{
    if (form)
        form->unload();
    form = nullptr;
}
} // namespace

void showOptions(kest721Assistant &assistant)
{
    showShared(g_options, assistant);
}
void showProperties(kest721Assistant &assistant)
{
    showShared(g_dataLog, assistant);
}
void showIntegrate(kest721Assistant &assistant)
{
    showShared(g_dose, assistant);
}
void showAbout(kest721Assistant &assistant)
{
    showShared(g_about, assistant);
}

frmOptions *options()
{
    return g_options.data();
}
frmDataLog *dataLog()
{
    return g_dataLog.data();
}
frmDose *dose()
{
    return g_dose.data();
}
frmDoseProgress *doseProgress()
{
    return g_progress.data();
}
frmAbout *about()
{
    return g_about.data();
}

void unloadAll()
{
    unloadShared(g_about);
    unloadShared(g_dataLog);
    unloadShared(g_dose);
    endIntegration();
    unloadShared(g_progress);
    // The shared status window has its own owner (the Assistant's Disconnect).
    unloadShared(g_options);
}

void endIntegration()
{
    if (g_progress && g_progress->running()) {
        qCInfo(lcDialogs) << "integration ended without a result";
        g_progress->abort();
    }
}

void assistantGone(kest721Assistant *assistant)
{
    if (g_progress && g_progress->assistant() == assistant)
        endIntegration();
}

bool integrationRunning()
{
    return g_progress && g_progress->running();
}

void RunDoseIntegration(kest721Assistant &assistant, std::optional<int32_t> seconds)
{
    const int32_t value = seconds.value_or(0);
    // A window left from an earlier run goes first: there is one at a time.
    unloadShared(g_progress);
    auto *progress = new frmDoseProgress;
    g_progress = progress;
    progress->setAssistant(&assistant);
    progress->setUseTimer(value != 0);
    progress->setTimer(value);
    QObject::connect(progress, &frmDoseProgress::finished, progress, [progress] {
        // The result goes to the Assistant that holds the connection now.
        if (!progress->Canceled) {
            if (kest721Assistant *a = gAssistant())
                a->RaiseDoseRate(progress->Dose, progress->AverageRate);
        }
        progress->unload();
    });
    progress->showForm();
    progress->Integrate();
}

int32_t loggingInterval()
{
    return g_userTimes ? g_userTimes->interval : modTimer::GetTimerInterval();
}

int32_t loggingDuration()
{
    return g_userTimes ? g_userTimes->length : modTimer::GetTimerDuration();
}

void setLoggingTimes(int32_t intervalSeconds, int32_t lengthSeconds)
{
    if (g_userTimes) {
        // Checked as the clock would, so that giving them back cannot fail.
        modTimer::SamplingClock probe;
        probe.SetTimerInterval(intervalSeconds);
        probe.SetTimerDuration(lengthSeconds);
        g_userTimes = LoggingTimes{intervalSeconds, lengthSeconds};
        return;
    }
    modTimer::SetTimerInterval(intervalSeconds);
    modTimer::SetTimerDuration(lengthSeconds);
}

QStringList saveSettingsNow()
{
    std::optional<LoggingTimes> borrowed;
    if (g_userTimes) {
        borrowed = LoggingTimes{modTimer::GetTimerInterval(), modTimer::GetTimerDuration()};
        modTimer::SetTimerInterval(g_userTimes->interval);
        modTimer::SetTimerDuration(g_userTimes->length);
    }
    const QStringList unwritten = modMain::SaveSettings();
    if (borrowed) {
        modTimer::SetTimerInterval(borrowed->interval);
        modTimer::SetTimerDuration(borrowed->length);
    }
    if (!unwritten.isEmpty())
        qCWarning(lcDialogs).noquote()
            << "settings not saved:" << unwritten.join(QLatin1String(", "));
    return unwritten;
}

namespace detail
{
void borrowClock()
{
    if (!g_userTimes)
        g_userTimes = LoggingTimes{modTimer::GetTimerInterval(), modTimer::GetTimerDuration()};
}

void forget(const QWidget *form)
{
    if (g_options == form)
        g_options = nullptr;
    if (g_dataLog == form)
        g_dataLog = nullptr;
    if (g_dose == form)
        g_dose = nullptr;
    if (g_progress == form)
        g_progress = nullptr;
    if (g_about == form)
        g_about = nullptr;
}

void returnClock()
{
    if (!g_userTimes)
        return;
    modTimer::SetTimerInterval(g_userTimes->interval);
    modTimer::SetTimerDuration(g_userTimes->length);
    g_userTimes.reset();
}
} // namespace detail

void nameControls(QWidget *form)
{
    const auto plain = [](QString text) {
        text.remove(QLatin1Char('&'));
        text = text.trimmed();
        if (text.endsWith(QLatin1Char(':')))
            text.chop(1);
        return text;
    };
    for (QWidget *w : form->findChildren<QWidget *>()) {
        // A list's popup is a window of its own, named by its list.
        if (!(w->focusPolicy() & Qt::TabFocus) || !w->accessibleName().isEmpty() ||
            w->window() != form)
            continue;
        QString name;
        // A button with a caption is named by it as it stands (a caption that
        // changes, as Cancel becomes Stop, must not leave the old name behind).
        if (auto *b = qobject_cast<QAbstractButton *>(w); b && !plain(b->text()).isEmpty())
            continue;
        for (QLabel *l : form->findChildren<QLabel *>())
            if (name.isEmpty() && l->buddy() == w)
                name = plain(l->text());
        if (name.isEmpty() && (qobject_cast<QTabBar *>(w) || qobject_cast<QTabWidget *>(w)))
            name = QStringLiteral("Tabs");
        if (name.isEmpty())
            qCWarning(lcDialogs) << "control without a name:" << w->objectName();
        w->setAccessibleName(name);
    }
}

} // namespace norvale::assistant
