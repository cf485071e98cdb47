#include "assistant/dialogs/frmDataLog.h"

#include "assistant/dialogs/Dialogs.h"
#include "assistant/Settings.h"
#include "control/dbus/kest720Proxy.h"
#include "assistant/kest721Assistant.h"
#include "assistant/modAlarm.h"
#include "assistant/modCalc.h"
#include "ui_frmDataLog.h"

#include <QLoggingCategory>
#include <cmath>
#include <limits>

Q_LOGGING_CATEGORY(lcDataLog, "norvale.assistant.datalog")

namespace norvale::assistant
{

namespace
{
constexpr int64_t rateFactor[] = {1, 60, 3600};
constexpr int64_t lengthFactor[] = {60, 3600, 86400};
constexpr int64_t longestSeconds = settings::LongestTimerLength;

// A whole text read as a number in the user's locale, rounded half to even.
bool wholeNumber(const QString &text, double *rounded)
{
    double d = 0;
    if (!modCalc::LocaleToDouble(text.trimmed(), &d) || !std::isfinite(d))
        return false;
    *rounded = std::nearbyint(d);
    return true;
}
} // namespace

frmDataLog::frmDataLog(QWidget *parent) : AssistantForm(parent), ui(new Ui::frmDataLog)
{
    ui->setupUi(this);
    ui->cboRate->addItems(
        {QStringLiteral("second(s)"), QStringLiteral("minute(s)"), QStringLiteral("hour(s)")});
    ui->cboLength->addItems(
        {QStringLiteral("minute(s)"), QStringLiteral("hour(s)"), QStringLiteral("day(s)")});
    // Decided: with no meter connected yet the alarm point is shown in the
    // roentgen unit, the meter's usual one; a connected meter sets it.
    ui->lblRange->setText(QStringLiteral("mR/h"));
    connect(ui->cmdOK, &QPushButton::clicked, this, &frmDataLog::cmdOK_Click);
    connect(ui->cmdCancel, &QPushButton::clicked, this, &frmDataLog::reject);
    connect(ui->cmd720Alarm, &QPushButton::clicked, this, &frmDataLog::cmd720Alarm_Click);
    norvale::assistant::nameControls(this);
}

frmDataLog::~frmDataLog() = default;

void frmDataLog::activate()
{
    const bool ready = instrumentReady();
    ui->cmd720Alarm->setEnabled(ready);
    if (ready) {
        try {
            ui->lblRange->setText(instrument()->Units() == control::unitR
                                      ? QStringLiteral("mR/h")
                                      : QStringLiteral("uSv/h"));
        } catch (const std::exception &e) {
            qCWarning(lcDataLog) << "units not read:" << e.what();
        }
    }
    ui->txtAlarm->setText(modCalc::NumberText(modAlarm::GetAlarmPoint()));
    ui->chkEnableAlarm->setChecked(modAlarm::GetAlarmEnabled());
    const int32_t i = norvale::assistant::loggingInterval();
    if (i % 3600 == 0) {
        ui->cboRate->setCurrentIndex(2);
        ui->txtRate->setText(QString::number(i / 3600));
    } else if (i % 60 != 0) {
        ui->cboRate->setCurrentIndex(0);
        ui->txtRate->setText(QString::number(i));
    } else {
        ui->cboRate->setCurrentIndex(1);
        ui->txtRate->setText(QString::number(i / 60));
    }
    const int32_t l = norvale::assistant::loggingDuration();
    if (l % 86400 == 0) {
        ui->cboLength->setCurrentIndex(2);
        ui->txtLength->setText(QString::number(l / 86400));
    } else if (l % 3600 != 0) {
        ui->cboLength->setCurrentIndex(0);
        ui->txtLength->setText(modCalc::NumberText(l / 60.0));
    } else {
        ui->cboLength->setCurrentIndex(1);
        ui->txtLength->setText(QString::number(l / 3600));
    }
}

void frmDataLog::cmdOK_Click()
{
    FormCode inFormCode;
    QPointer<frmDataLog> self(this);
    const auto refuse = [&](const QString &text, QLineEdit *field) {
        ask(text);
        if (self)
            field->setFocus();
    };
    const QString lessThanOne = QStringLiteral("Cannot enter a value less than 1.");
    const auto leading = [](const QString &text) {
        try {
            return modCalc::LeadingNumber(text);
        } catch (const platform::AutomationError &) {
            return std::numeric_limits<double>::infinity(); // beyond a double: not below 1
        }
    };
    if (leading(ui->txtRate->text()) < 1)
        return refuse(lessThanOne, ui->txtRate);
    if (leading(ui->txtLength->text()) < 1)
        return refuse(lessThanOne, ui->txtLength);
    // Decided: a text that starts with a number but is not one as a whole is
    // refused rather than read in part.
    double rate = 0, length = 0, alarm = 0;
    if (!wholeNumber(ui->txtRate->text(), &rate))
        return refuse(QStringLiteral("The sample time must be a number."), ui->txtRate);
    if (!wholeNumber(ui->txtLength->text(), &length))
        return refuse(QStringLiteral("The total time must be a number."), ui->txtLength);
    if (!modCalc::LocaleToDouble(ui->txtAlarm->text().trimmed(), &alarm) || !std::isfinite(alarm))
        return refuse(QStringLiteral("The alarm level must be a number."), ui->txtAlarm);
    const double interval = rate * double(rateFactor[qMax(0, ui->cboRate->currentIndex())]);
    const double total = length * double(lengthFactor[qMax(0, ui->cboLength->currentIndex())]);
    if (total > double(longestSeconds))
        return refuse(QStringLiteral("The total time is too long. A logging run lasts 24 days "
                                     "at most."),
                      ui->txtLength);
    if (!(interval < total)) {
        ask(QStringLiteral("The sample time must be less than the total time."));
        return;
    }
    // SaveLoggingProperties: all values are known to fit, so nothing can fail
    // half-way through.
    try {
        norvale::assistant::setLoggingTimes(int32_t(interval), int32_t(total));
        modAlarm::SetAlarmPoint(alarm);
        modAlarm::SetAlarmEnabled(ui->chkEnableAlarm->isChecked());
        norvale::assistant::saveSettingsNow();
    } catch (const platform::AutomationError &e) {
        ask(e.description());
    }
    if (self)
        unload();
}

void frmDataLog::reject()
{
    unload();
}

void frmDataLog::cmd720Alarm_Click()
{
    FormCode inFormCode;
    try {
        norvale::control::kest720Proxy *k = instrument();
        if (!k)
            return;
        const int16_t range = k->AlarmRange();
        ui->chkEnableAlarm->setChecked(range != 6);
        if (const std::optional<double> level = meterAlarmLevel(*k, range))
            ui->txtAlarm->setText(modCalc::NumberText(*level));
    } catch (const std::exception &e) {
        qCInfo(lcDataLog) << "instrument alarm not read (ignored):" << e.what();
    }
}

} // namespace norvale::assistant
