#pragma once
// Display: the automation face of the virtual instrument window. Its client
// pushes readings, units, range and alarm state into it and hears about the
// acknowledge button through Acknowledge. It decides nothing about alarms: it
// maps a state chosen by its client to LED colour, flashing and the button.
#include "ui/OleColor.h"

#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>

namespace norvale::uicontrol
{

class Form1;

enum enumAlarmState : int32_t {
    StateUnknown = 0,
    AckNormal = 1,
    UnackAlarm = 2,
    AckAlarm = 3,
    UnAckNormal = 4,
};

class Display : public QObject
{
    Q_OBJECT
public:
    explicit Display(QObject *parent = nullptr);
    ~Display() override;

    // The interface, in its order.
    void setScaleNumber(int16_t n);
    void setUnits(const QString &units);
    void Show();
    void Hide();
    void Parent(int32_t hwnd);
    void setValue(double v);
    void ShowMessage(const QString &msg);
    enumAlarmState AlarmState() const { return m_lastState; }
    void setAlarmState(enumAlarmState s);
    void setAlarmValue(const QString &s);
    QString AlarmValue() const;
    bool UseAcknowledge() const { return m_useAcknowledge; }
    void setUseAcknowledge(bool use);
    void Reset();
    ui::OLE_COLOR ColorAckAlarm() const { return m_colorAckAlarm; }
    void setColorAckAlarm(ui::OLE_COLOR c) { m_colorAckAlarm = c; }
    ui::OLE_COLOR ColorUnAckAlarm() const { return m_colorUnAckAlarm; }
    void setColorUnAckAlarm(ui::OLE_COLOR c) { m_colorUnAckAlarm = c; }
    ui::OLE_COLOR ColorAckNormal() const { return m_colorAckNormal; }
    void setColorAckNormal(ui::OLE_COLOR c) { m_colorAckNormal = c; }
    ui::OLE_COLOR ColorUnAckNormal() const { return m_colorUnAckNormal; }
    void setColorUnAckNormal(ui::OLE_COLOR c) { m_colorUnAckNormal = c; }

    // The window this object drives.
    Form1 *frm() const { return m_frm.get(); }

signals:
    void Acknowledge();

private:
    std::unique_ptr<Form1> m_frm;
    ui::OLE_COLOR m_colorAckNormal = ui::olecolor::Black;
    ui::OLE_COLOR m_colorAckAlarm = ui::olecolor::Black;
    ui::OLE_COLOR m_colorUnAckNormal = ui::olecolor::Black;
    ui::OLE_COLOR m_colorUnAckAlarm = ui::olecolor::Black;
    bool m_useAcknowledge = false;
    enumAlarmState m_lastState = StateUnknown;
};

} // namespace norvale::uicontrol
