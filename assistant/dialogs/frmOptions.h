#pragma once
// The options dialog: the Assistant's own options (port, alarm sound,
// acknowledging, alarm-state colours) and, while a meter is connected, the
// meter's settings (data-log clearing and interval, blink alarm, units, mode
// button), with Save to EEPROM and Clear Log.
#include "assistant/dialogs/AssistantForm.h"

#include <cstdint>
#include <memory>

class QComboBox;

namespace Ui
{
class frmOptions;
}

namespace norvale::assistant
{

class PublishPage;

class frmOptions : public AssistantForm
{
    Q_OBJECT
public:
    explicit frmOptions(QWidget *parent = nullptr);
    ~frmOptions() override;

    // Refills the meter's fields from the instrument.
    void Update720Options();
    // The meter's blink alarm (percent of a range, range number) into the dialog.
    void ConvertAlarmSettings(int32_t lpercent, int32_t lrange);
    // The dialog's alarm level into the meter's range and percent; false
    // when no range fits.
    bool ComputeAlarmSettings();
    void WriteAlarmSettings();

    // The colour of a list's selected entry (black when none).
    static int32_t ColorFromList(const QComboBox *list);
    static void SelectColor(QComboBox *list, int32_t color);

    int16_t miAlarmPercent = -1;
    int16_t miAlarmRange = -1;
    bool mbConnected = false;

protected:
    void activate() override;
    void reject() override;

private:
    // Apply's work; false when it stopped before the end. Errors of the
    // instrument object are thrown.
    bool ApplyChanges();
    // Input that cannot be written is refused before anything is written.
    bool inputAcceptable();
    // The instrument object; throws as an unset object when there is none.
    norvale::control::kest720Proxy &Control();
    void announce(const QString &text);
    void hideMessage();
    void applyUnitsRule();
    void fillPorts();
    void reportApplyError(const QString &description);

    void cmdOK_Click();
    void cmdApply_Click();
    void cmdApplyEEPROM_Click();
    void cmdClear_Click();
    void cmdSound_Click();

    std::unique_ptr<Ui::frmOptions> ui;
    PublishPage *m_publish = nullptr; // the "Publishing" tab
};

} // namespace norvale::assistant
