#include "assistant/dialogs/frmOptions.h"

#include "assistant/dialogs/PublishPage.h"

#include "assistant/dialogs/Dialogs.h"
#include "assistant/RuntimeError.h"
#include "platform/SerialLink.h"
#include "assistant/dialogs/SoundChooser.h"
#include "control/dbus/kest720Proxy.h"
#include "assistant/kest721Assistant.h"
#include "assistant/modAlarm.h"
#include "assistant/modCalc.h"
#include "assistant/modMain.h"
#include "ui_frmOptions.h"

#include <QDir>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QThread>
#include <algorithm>
#include <cmath>

Q_LOGGING_CATEGORY(lcOptions, "norvale.assistant.options")

namespace norvale::assistant
{

namespace
{
struct ListColor {
    const char *name;
    int32_t color;
};
constexpr ListColor colorList[] = {
    {"Black", modAlarm::colorBlack},   {"Blue", modAlarm::colorBlue},
    {"Green", modAlarm::colorGreen},   {"Red", modAlarm::colorRed},
    {"Yellow", modAlarm::colorYellow},
};

QColor fromOle(int32_t ole)
{
    return QColor(ole & 0xFF, (ole >> 8) & 0xFF, (ole >> 16) & 0xFF);
}

const QString rangeMessage = QStringLiteral(
    "Unable to set the Alarm settings.  The alarm values must fall into a valid range.");
} // namespace

frmOptions::frmOptions(QWidget *parent) : AssistantForm(parent), ui(new Ui::frmOptions)
{
    ui->setupUi(this);
    // Load: the fixed lists.
    ui->cboUnits->addItems({QStringLiteral("R"), QStringLiteral("Sv")});
    ui->cboModeButton->addItems(
        {QStringLiteral("Disabled"), QStringLiteral("Integrate"), QStringLiteral("Freeze")});
    ui->cboLogClear->addItems(
        {QStringLiteral("at turn on only"), QStringLiteral("at turn on and integrate reset")});
    for (QComboBox *list : {ui->cboColorAckNormal, ui->cboColorUnAckNormal, ui->cboColorAckAlarm,
                            ui->cboColorUnAckAlarm}) {
        for (const ListColor &c : colorList)
            list->addItem(QString::fromLatin1(c.name), c.color);
        list->setCurrentIndex(-1);
        // Each entry shows in its own colour.
        connect(list, &QComboBox::currentIndexChanged, list, [list] {
            QPalette p = list->palette();
            const QColor c = fromOle(ColorFromList(list));
            p.setColor(QPalette::Text, c);
            p.setColor(QPalette::ButtonText, c);
            list->setPalette(p);
        });
    }
    fillPorts();
    connect(ui->cboUnits, &QComboBox::currentIndexChanged, this, [this] { applyUnitsRule(); });
    trackChanges({ui->cboUnits, ui->cboModeButton, ui->cboLogClear, ui->txtSample,
                  ui->chkEnableAlarm, ui->txtPercent, ui->cboRange, ui->cboPort});
    connect(ui->cmdOK, &QPushButton::clicked, this, &frmOptions::cmdOK_Click);
    connect(ui->cmdCancel, &QPushButton::clicked, this, &frmOptions::reject);
    connect(ui->cmdApply, &QPushButton::clicked, this, &frmOptions::cmdApply_Click);
    connect(ui->cmdApplyEEPROM, &QPushButton::clicked, this, &frmOptions::cmdApplyEEPROM_Click);
    connect(ui->cmdClear, &QPushButton::clicked, this, &frmOptions::cmdClear_Click);
    connect(ui->cmdSound, &QPushButton::clicked, this, &frmOptions::cmdSound_Click);
    m_publish = new PublishPage(this);
    ui->SSTab1->addTab(m_publish, QStringLiteral("Publishing"));
    norvale::assistant::nameControls(this);
}

frmOptions::~frmOptions() = default;

void frmOptions::fillPorts()
{
    // COM1 to COM4 always; beyond them the ports that the ports folder links.
    QList<int> ports{1, 2, 3, 4};
    const QStringList links = QDir(platform::portsFolder())
                                  .entryList({QStringLiteral("com*")}, QDir::System | QDir::Files);
    static const QRegularExpression comN(QStringLiteral("^com([1-9][0-9]{0,4})$"));
    for (const QString &name : links) {
        const auto m = comN.match(name);
        const int n = m.hasMatch() ? m.captured(1).toInt() : 0;
        if (n > 4 && n <= 32767 && !ports.contains(n))
            ports << n;
    }
    std::sort(ports.begin(), ports.end());
    const QSignalBlocker quiet(ui->cboPort);
    ui->cboPort->clear();
    for (int n : ports)
        ui->cboPort->addItem(QStringLiteral("COM%1").arg(n), n);
}

int32_t frmOptions::ColorFromList(const QComboBox *list)
{
    return list->currentIndex() < 0 ? modAlarm::colorBlack : list->currentData().toInt();
}

void frmOptions::SelectColor(QComboBox *list, int32_t color)
{
    const int i = list->findData(color);
    if (i >= 0)
        list->setCurrentIndex(i);
}

void frmOptions::applyUnitsRule()
{
    ui->cboRange->clear();
    if (ui->cboUnits->currentIndex() == 0)
        ui->cboRange->addItems(
            {QStringLiteral("uR/h"), QStringLiteral("mR/h"), QStringLiteral("R/h")});
    else
        ui->cboRange->addItems({QStringLiteral("uSv/h"), QStringLiteral("mSv/h")});
}

void frmOptions::activate()
{
    mbConnected = instrumentReady();
    // Unlike the meter's fields, edits of publishing survive a trip to another window.
    if (!m_publish->isChanged())
        m_publish->load();
    for (QWidget *w : std::initializer_list<QWidget *>{
             ui->cboUnits, ui->cboModeButton, ui->cboLogClear, ui->txtSample, ui->chkEnableAlarm,
             ui->txtPercent, ui->cboRange, ui->cmdApplyEEPROM, ui->cmdClear})
        w->setEnabled(mbConnected);
    hideMessage();
    QString serial;
    if (mbConnected) {
        try {
            serial = instrument()->SerialNumber();
        } catch (const std::exception &e) {
            qCWarning(lcOptions) << "serial number not read:" << e.what();
        }
    }
    ui->lblSerial->setText(mbConnected ? QStringLiteral("Serial Number: ") + serial
                                       : QStringLiteral("Not Connected!"));
    Update720Options();
    // A stored port that the list does not offer is shown, not lost.
    int at = ui->cboPort->findData(int(modMain::ComPort));
    if (at < 0 && modMain::ComPort >= 1) {
        fillPorts();
        int i = 0;
        while (i < ui->cboPort->count() && ui->cboPort->itemData(i).toInt() < modMain::ComPort)
            ++i;
        ui->cboPort->insertItem(i, QStringLiteral("COM%1").arg(modMain::ComPort),
                                int(modMain::ComPort));
        at = i;
    }
    ui->cboPort->setCurrentIndex(at);
    ui->cboPort->setEnabled(!mbConnected);
    ui->chkUseAcknowledge->setChecked(modAlarm::GetUseAcknowledge());
    ui->chkSound->setChecked(modAlarm::GetPlayAlarmSound());
    SelectColor(ui->cboColorAckNormal, modAlarm::ColorAckNormal);
    SelectColor(ui->cboColorUnAckNormal, modAlarm::ColorUnAckNormal);
    SelectColor(ui->cboColorAckAlarm, modAlarm::ColorAckAlarm);
    SelectColor(ui->cboColorUnAckAlarm, modAlarm::ColorUnAckAlarm);
    for (QWidget *w : std::initializer_list<QWidget *>{
             ui->cboUnits, ui->cboModeButton, ui->cboLogClear, ui->txtSample, ui->chkEnableAlarm,
             ui->txtPercent, ui->cboRange, ui->cboPort})
        clearChanged(w);
}

void frmOptions::Update720Options()
{
    ui->txtSample->clear();
    ui->txtPercent->clear();
    applyUnitsRule();
    if (!mbConnected)
        return;
    try {
        norvale::control::kest720Proxy &k = *instrument();
        ui->txtSample->setText(QString::number(k.SampleRate()));
        ui->cboUnits->setCurrentIndex(k.Units() == control::unitR ? 0 : 1);
        applyUnitsRule();
        ui->cboLogClear->setCurrentIndex(k.ClearLogSetting());
        ui->cboModeButton->setCurrentIndex(k.ModeButton());
        ConvertAlarmSettings(k.AlarmPercent(), k.AlarmRange());
    } catch (const std::exception &e) {
        // The fields keep what was read before the failure.
        qCWarning(lcOptions) << "instrument settings not read:" << e.what();
    }
}

void frmOptions::ConvertAlarmSettings(int32_t lpercent, int32_t lrange)
{
    const control::Ranges ranges = instrument()->Ranges();
    if (lrange < 1 || lrange > ranges.Count())
        throw platform::AutomationError(9, programName(), QStringLiteral("Subscript out of range"));
    const control::Range &r = ranges.Item(lrange);
    if (r.Display.contains(QLatin1String("No"), Qt::CaseInsensitive)) {
        ui->chkEnableAlarm->setChecked(false);
        ui->txtPercent->setText(QStringLiteral("0"));
        ui->cboRange->setCurrentIndex(0);
        return;
    }
    const double scale = r.ScaleNumber;
    const double level = lpercent != 0 ? lpercent / 100.0 * scale : scale;
    const QString &unit = r.ScaleUnits;
    int entry = 2;
    if (unit.contains(QLatin1Char('m'), Qt::CaseInsensitive))
        entry = 1;
    else if (unit.contains(QLatin1Char('u'), Qt::CaseInsensitive))
        entry = 0;
    // A unit without a prefix in sievert units has no third entry: its level
    // is shown in mSv/h, the list's largest unit.
    if (entry >= ui->cboRange->count()) {
        entry = ui->cboRange->count() - 1;
        ui->chkEnableAlarm->setChecked(true);
        clearChanged(ui->chkEnableAlarm);
        clearChanged(ui->cboRange);
        ui->cboRange->setCurrentIndex(entry);
        ui->txtPercent->setText(modCalc::NumberText(level * 1000));
        return;
    }
    ui->cboRange->setCurrentIndex(entry);
    ui->chkEnableAlarm->setChecked(true);
    clearChanged(ui->chkEnableAlarm);
    clearChanged(ui->cboRange);
    // Single-precision scale numbers carry binary noise: 45 % of 5 reads 2.25.
    ui->txtPercent->setText(modCalc::NumberText(QString::number(level, 'g', 7).toDouble()));
}

bool frmOptions::ComputeAlarmSettings()
{
    if (!instrumentReady())
        return false;
    double level = 0;
    try {
        level = modCalc::ParseScaleText(ui->txtPercent->text() + QLatin1Char(' ') +
                                        ui->cboRange->currentText());
    } catch (const std::exception &) {
        level = 0;
    }
    if (level == 0)
        return false;
    try {
        for (const control::Range &r : instrument()->Ranges()) {
            const double full = modCalc::ParseScaleValue(r.Display);
            if (level < full) {
                const double percent = QString::number(level / full * 100, 'g', 15).toDouble();
                miAlarmPercent = static_cast<int16_t>(std::nearbyint(percent));
                miAlarmRange = r.CommandIndex;
                return true;
            }
        }
    } catch (const std::exception &e) {
        qCWarning(lcOptions) << "ranges not read:" << e.what();
    }
    miAlarmPercent = -1;
    miAlarmRange = -1;
    return false;
}

void frmOptions::WriteAlarmSettings()
{
    try {
        norvale::control::kest720Proxy &k = Control();
        if (!ui->chkEnableAlarm->isChecked()) {
            k.setAlarmRange(6);
        } else {
            if (miAlarmPercent < 0 || miAlarmPercent > 99) {
                ask(QStringLiteral("The alarm percent value cannot be changed to ") +
                    QString::number(miAlarmPercent));
                return;
            }
            try {
                k.setAlarmPercent(miAlarmPercent);
                k.setAlarmRange(miAlarmRange);
            } catch (const std::exception &e) {
                qCWarning(lcOptions) << "alarm not written (ignored):" << e.what();
            }
        }
        clearChanged(ui->chkEnableAlarm);
        clearChanged(ui->txtPercent);
        clearChanged(ui->cboRange);
    } catch (const platform::AutomationError &e) {
        ask(QStringLiteral("Unable to change the alarm settings: ") + e.description());
    }
}

void frmOptions::announce(const QString &text)
{
    ui->lblMsg->setVisible(true);
    ui->lblMsg->setText(text);
    ui->lblMsg->repaint();
}

void frmOptions::hideMessage()
{
    ui->lblMsg->setVisible(false);
    ui->lblMsg->clear();
}

bool frmOptions::inputAcceptable()
{
    if (!mbConnected)
        return true;
    if (isChanged(ui->txtSample)) {
        bool ok = false;
        const int n = ui->txtSample->text().trimmed().toInt(&ok);
        if (!ok || n < 1 || n > 255) {
            QPointer<frmOptions> self(this);
            ask(QStringLiteral("The data log interval must be a whole number from 1 to 255."));
            if (self)
                ui->txtSample->setFocus();
            return false;
        }
    }
    const bool alarmEdited =
        isChanged(ui->txtPercent) || isChanged(ui->cboRange) || isChanged(ui->chkEnableAlarm);
    double level = 0;
    if (ui->chkEnableAlarm->isChecked() && alarmEdited &&
        !modCalc::LocaleToDouble(ui->txtPercent->text().trimmed(), &level)) {
        QPointer<frmOptions> self(this);
        ask(QStringLiteral("The alarm level must be a number."));
        if (self)
            ui->txtPercent->setFocus();
        return false;
    }
    return true;
}

bool frmOptions::ApplyChanges()
{
    if (!inputAcceptable())
        return false;
    // Publishing settings that cannot be stored say why on their own page.
    if (!m_publish->apply()) {
        ui->SSTab1->setCurrentWidget(m_publish);
        return false;
    }
    modAlarm::SetUseAcknowledge(ui->chkUseAcknowledge->isChecked());
    modAlarm::SetPlayAlarmSound(ui->chkSound->isChecked());
    modAlarm::ColorAckNormal = ColorFromList(ui->cboColorAckNormal);
    modAlarm::ColorUnAckNormal = ColorFromList(ui->cboColorUnAckNormal);
    modAlarm::ColorAckAlarm = ColorFromList(ui->cboColorAckAlarm);
    modAlarm::ColorUnAckAlarm = ColorFromList(ui->cboColorUnAckAlarm);
    if (isChanged(ui->cboPort) && ui->cboPort->currentIndex() >= 0) {
        modMain::ComPort = static_cast<int16_t>(ui->cboPort->currentData().toInt());
        clearChanged(ui->cboPort);
    }
    // A server that is killed later keeps what the user applied.
    norvale::assistant::saveSettingsNow();
    if (!mbConnected)
        return true;

    norvale::control::kest720Proxy &k = Control();
    QPointer<frmOptions> self(this);
    if (isChanged(ui->cboUnits)) {
        announce(QStringLiteral("Changing units"));
        k.setUnits(ui->cboUnits->currentIndex() == 0 ? control::unitR : control::unitSv);
        clearChanged(ui->cboUnits);
        // The meter's ranges are now in the other units: its blink alarm is
        // shown afresh, in the new unit list.
        applyUnitsRule();
        ConvertAlarmSettings(k.AlarmPercent(), k.AlarmRange());
        clearChanged(ui->txtPercent);
        clearChanged(ui->cboRange);
        clearChanged(ui->chkEnableAlarm);
    }
    if (isChanged(ui->cboModeButton)) {
        announce(QStringLiteral("Changing mode button"));
        k.setModeButton(static_cast<control::TYPE_MODEBUTTON>(ui->cboModeButton->currentIndex()));
        clearChanged(ui->cboModeButton);
    }
    if (isChanged(ui->cboLogClear)) {
        announce(QStringLiteral("Changing clear log setting"));
        k.setClearLogSetting(static_cast<control::TYPE_CLEARLOG>(ui->cboLogClear->currentIndex()));
        clearChanged(ui->cboLogClear);
    }
    if (isChanged(ui->txtSample)) {
        announce(QStringLiteral("Changing data log interval"));
        k.setSampleRate(static_cast<int16_t>(ui->txtSample->text().trimmed().toInt()));
        clearChanged(ui->txtSample);
    }
    if (ui->chkEnableAlarm->isChecked()) {
        if (!ComputeAlarmSettings()) {
            ask(rangeMessage);
            if (self)
                hideMessage();
            return false;
        }
        if (!self)
            return false;
        if (isChanged(ui->txtPercent)) {
            announce(QStringLiteral("Changing Alarm"));
            clearChanged(ui->txtPercent);
            WriteAlarmSettings();
        }
        if (self && isChanged(ui->cboRange)) {
            announce(QStringLiteral("Changing Alarm"));
            WriteAlarmSettings();
        }
    }
    if (self && isChanged(ui->chkEnableAlarm)) {
        announce(QStringLiteral("Changing Alarm"));
        WriteAlarmSettings();
    }
    if (self)
        hideMessage();
    return true;
}

norvale::control::kest720Proxy &frmOptions::Control()
{
    norvale::control::kest720Proxy *k = instrument();
    if (!k)
        throw platform::AutomationError(
            91, programName(), QStringLiteral("Object variable or With block variable not set"));
    return *k;
}

void frmOptions::reportApplyError(const QString &description)
{
    ask(QStringLiteral("The following error occured while attempting to apply the changes.\r\n") +
        description);
}

void frmOptions::cmdApply_Click()
{
    FormCode inFormCode;
    // Decided: Apply reports an error as OK does, and the dialog stays.
    try {
        ApplyChanges();
    } catch (const platform::AutomationError &e) {
        hideMessage();
        reportApplyError(e.description());
    }
}

void frmOptions::cmdOK_Click()
{
    FormCode inFormCode;
    QPointer<frmOptions> self(this);
    try {
        // Refused input keeps the dialog open for correcting; an alarm that
        // fits no range does not.
        if (!inputAcceptable())
            return;
        ApplyChanges();
    } catch (const platform::AutomationError &e) {
        if (self) {
            hideMessage();
            reportApplyError(e.description());
        }
        return;
    }
    if (self)
        unload();
}

void frmOptions::reject()
{
    unload();
}

void frmOptions::cmdApplyEEPROM_Click()
{
    FormCode inFormCode;
    QPointer<frmOptions> self(this);
    announce(QStringLiteral("Applying changes... Please wait."));
    QCoreApplication::processEvents();
    QThread::msleep(50);
    try {
        // Input that is refused saves nothing; an alarm that fits no range
        // does not keep the other applied settings from being saved.
        if (!self || !inputAcceptable()) {
            if (self)
                hideMessage();
            return;
        }
        ApplyChanges();
        if (!self)
            return;
        announce(QStringLiteral("Saving to EEPROM... Please wait."));
        Control().WriteToEEPROM();
    } catch (const platform::AutomationError &e) {
        if (self) {
            hideMessage();
            reportApplyError(e.description());
        }
        return;
    }
    if (self)
        hideMessage();
}

void frmOptions::cmdClear_Click()
{
    FormCode inFormCode;
    announce(QStringLiteral("Clearing Data Log... Please wait."));
    QPointer<frmOptions> self(this);
    QCoreApplication::processEvents();
    if (!self)
        return;
    QThread::msleep(300);
    try {
        Control().ClearLog();
    } catch (const std::exception &e) {
        qCInfo(lcOptions) << "ClearLog failed (ignored):" << e.what();
    }
    hideMessage();
}

void frmOptions::cmdSound_Click()
{
    FormCode inFormCode;
    SoundChooser chooser(this);
    chooser.exec();
}

} // namespace norvale::assistant
