#include "assistant/dialogs/frmDose.h"

#include "assistant/dialogs/Dialogs.h"
#include "assistant/Settings.h"
#include "assistant/cRegistry.h"
#include "assistant/dialogs/frmDoseProgress.h"
#include "assistant/kest721Assistant.h"
#include "assistant/modCalc.h"
#include "assistant/modTimer.h"
#include "ui_frmDose.h"

#include <QLoggingCategory>
#include <cmath>
#include <limits>

Q_LOGGING_CATEGORY(lcDoseSetup, "norvale.assistant.dosesetup")

namespace norvale::assistant
{

namespace
{
constexpr double unitFactor[] = {60, 3600, 86400};
// The clock keeps milliseconds in 32 bits: about 24.8 days at most.
constexpr double longestSeconds = std::numeric_limits<int32_t>::max() / 1000;

cRegistry settingsKey(const char *value)
{
    cRegistry r;
    r.setClassKey(settings::RootKey);
    r.setSectionKey(QString::fromLatin1(settings::SectionKey));
    r.setValueKey(QString::fromLatin1(value));
    return r;
}
} // namespace

frmDose::frmDose(QWidget *parent) : AssistantForm(parent), ui(new Ui::frmDose)
{
    ui->setupUi(this);
    ui->cboUnit->addItems(
        {QStringLiteral("minute(s)"), QStringLiteral("hour(s)"), QStringLiteral("day(s)")});
    connect(ui->cmdStart, &QPushButton::clicked, this, &frmDose::cmdStart_Click);
    connect(ui->cmdCancel, &QPushButton::clicked, this, &frmDose::reject);
    connect(ui->cmdHelp, &QPushButton::clicked, this, &frmDose::cmdHelp_Click);
    norvale::assistant::nameControls(this);
}

frmDose::~frmDose() = default;

void frmDose::activate()
{
    bool useTimer = settings::DefaultUseIntegrateTimer != 0;
    int64_t seconds = settings::DefaultIntegrateTime;
    try {
        cRegistry r = settingsKey(settings::UseIntegrateTimer);
        r.setDefault(QVariant(int32_t(settings::DefaultUseIntegrateTimer)));
        // Decided: any stored number but 0 means the timer is used.
        useTimer = r.Value().toLongLong() != 0;
        cRegistry t = settingsKey(settings::IntegrateTime);
        t.setDefault(QVariant(settings::DefaultIntegrateTime));
        seconds = t.Value().toLongLong();
    } catch (const std::exception &e) {
        qCWarning(lcDoseSetup) << "integration settings not read:" << e.what();
    }
    ui->chkTimer->setChecked(useTimer);
    if (seconds % 86400 == 0) {
        ui->cboUnit->setCurrentIndex(2);
        ui->txtTimer->setText(QString::number(seconds / 86400));
    } else if (seconds % 3600 == 0) {
        ui->cboUnit->setCurrentIndex(1);
        ui->txtTimer->setText(QString::number(seconds / 3600));
    } else {
        ui->cboUnit->setCurrentIndex(0);
        ui->txtTimer->setText(modCalc::NumberText(double(seconds) / 60));
    }
}

void frmDose::cmdStart_Click()
{
    FormCode inFormCode;
    QPointer<frmDose> self(this);
    const bool timed = ui->chkTimer->isChecked();
    double value = 0;
    int32_t seconds = 0;
    if (timed) {
        // Decided: a text that is not a number is refused like one below 1.
        if (!modCalc::LocaleToDouble(ui->txtTimer->text().trimmed(), &value) ||
            !std::isfinite(value) || std::nearbyint(value) < 1) {
            ask(QStringLiteral("Integrate time value must be greater than 1."));
            if (self)
                ui->txtTimer->setFocus();
            return;
        }
        const double total =
            std::nearbyint(value * unitFactor[qMax(0, ui->cboUnit->currentIndex())]);
        if (total > longestSeconds) {
            ask(QStringLiteral("The integration time is too long. An integration lasts 24 days "
                               "at most."));
            if (self)
                ui->txtTimer->setFocus();
            return;
        }
        seconds = int32_t(total);
    }
    kest721Assistant *a = assistant();
    // The meter integrates or logs, not both at once.
    if ((a && a->isLogging()) || modTimer::clock().timerId() != 0) {
        ask(norvale::assistant::textLoggingRunning);
        return;
    }
    if (norvale::assistant::integrationRunning()) {
        norvale::assistant::doseProgress()->showForm();
        return;
    }
    if (!self || !a)
        return;
    hide();
    try {
        cRegistry r = settingsKey(settings::UseIntegrateTimer);
        r.setDefault(QVariant(int32_t(settings::DefaultUseIntegrateTimer)));
        r.setValueType(cRegistry::REG_DWORD);
        r.setValue(QVariant(int32_t(timed ? 1 : 0)));
        if (timed) {
            cRegistry t = settingsKey(settings::IntegrateTime);
            t.setDefault(QVariant(settings::DefaultIntegrateTime));
            t.setValueType(cRegistry::REG_DWORD);
            t.setValue(QVariant(seconds));
        }
    } catch (const std::exception &e) {
        qCWarning(lcDoseSetup) << "integration settings not written:" << e.what();
    }
    if (timed)
        norvale::assistant::RunDoseIntegration(*a, seconds);
    else
        norvale::assistant::RunDoseIntegration(*a);
}

void frmDose::cmdHelp_Click()
{
    FormCode inFormCode;
    try {
        if (kest721Assistant *a = assistant())
            a->ShowHelp();
    } catch (const platform::AutomationError &e) {
        ask(e.description());
    }
}

void frmDose::reject()
{
    hide();
}

} // namespace norvale::assistant
