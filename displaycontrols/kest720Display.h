#pragma once
// kest720Display: the face of the survey meter. A coloured panel with curved
// corners, the reading in large digits with its unit prefix and rate unit, a
// bar scale beneath, and a message line that can cover the reading.
#include "ui/OleColor.h"

#include <QString>
#include <QWidget>

class QLabel;
class QTimer;

namespace norvale::displaycontrols
{

class PropertyBag;
class kest720Scale;

// The reading as the panel shows it: two decimals below 2, one below 20, none
// above; halves round away from zero, a negative value keeps its sign.
QString formatReading(float v);
// The prefix label of a unit text ("µ", "m" or ""), and its rate label
// ("Sv/h", "R/h" or ""); a letter counts only from the second character on.
QString unitPrefixLabel(const QString &units);
QString rateUnitLabel(const QString &units);

// Shape1: the panel's rectangle with curved corners.
class PanelShape : public QWidget
{
    Q_OBJECT
public:
    explicit PanelShape(QWidget *parent = nullptr);
    ui::OLE_COLOR borderColor() const { return m_border; }
    void setBorderColor(ui::OLE_COLOR c);
    ui::OLE_COLOR fillColor() const { return m_fill; }
    void setFillColor(ui::OLE_COLOR c);
    static constexpr int BorderWidth = 3;

protected:
    void paintEvent(QPaintEvent *) override;

private:
    ui::OLE_COLOR m_border = ui::olecolor::Black;
    ui::OLE_COLOR m_fill = 0x0000C000;
};

class kest720Display : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(float Value READ Value WRITE setValue)
    Q_PROPERTY(uint BorderColor READ BorderColor WRITE setBorderColor)
    Q_PROPERTY(uint BackColor READ BackColor WRITE setBackColor)
    Q_PROPERTY(int ScaleNumber READ ScaleNumber WRITE setScaleNumber)
    Q_PROPERTY(QString ScaleUnits READ ScaleUnits WRITE setScaleUnits)
    Q_PROPERTY(uint AlarmColor READ AlarmColor WRITE setAlarmColor)

public:
    explicit kest720Display(QWidget *parent = nullptr);

    // The interface, in its order.
    void Reset();
    float Value() const { return m_lastValue; }
    void setValue(float v);
    ui::OLE_COLOR BorderColor() const;
    void setBorderColor(ui::OLE_COLOR c);
    ui::OLE_COLOR BackColor() const;
    void setBackColor(ui::OLE_COLOR c);
    int ScaleNumber() const;
    void setScaleNumber(int n);
    QString ScaleUnits() const { return m_scaleUnits; }
    void setScaleUnits(const QString &s);
    void ShowMessage(const QString &msg);
    ui::OLE_COLOR AlarmColor() const { return m_alarmColor; }
    void setAlarmColor(ui::OLE_COLOR c) { m_alarmColor = c; }
    void Flash(bool bOn);

    void ReadProperties(const PropertyBag &bag);
    void WriteProperties(PropertyBag &bag) const;

    // The control's own back colour, seen outside the panel's curved corners.
    ui::OLE_COLOR ownBackColor() const { return m_ownBackColor; }

    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *) override;

private slots:
    void Timer1_Timer();

private:
    void setLabelBack(QLabel *label, ui::OLE_COLOR c);

    PanelShape *Shape1;
    QLabel *lblValue;
    QLabel *lblScale;
    QLabel *lblRate;
    QLabel *lblMessage;
    kest720Scale *kest720Scale1;
    QTimer *Timer1;

    ui::OLE_COLOR m_alarmColor = ui::olecolor::Red;
    ui::OLE_COLOR m_ownBackColor = 0x00C0FFC0;
    QString m_scaleUnits;
    float m_lastValue = 0;
    bool m_flashPhase = false;
};

} // namespace norvale::displaycontrols
