#include "UIControl/Display.h"
#include "UIControl/Form1.h"
#include "displaycontrols/kest720Display.h"

#include <QFontMetricsF>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTimer>

namespace norvale::uicontrol
{

Display::Display(QObject *parent) : QObject(parent), m_frm(std::make_unique<Form1>())
{
    connect(m_frm.get(), &Form1::AlarmAcknowledge, this, &Display::Acknowledge);
    setValue(0);
}

Display::~Display()
{
    try {
        m_frm->Unload();
    } catch (...) {
        // Nothing useful can be done about a window that fails to close.
    }
}

void Display::setScaleNumber(int16_t n)
{
    m_frm->kest720Display1->setScaleNumber(n);
}

void Display::setUnits(const QString &units)
{
    m_frm->kest720Display1->setScaleUnits(units);
}

void Display::Show()
{
    if (!m_frm->isVisible())
        m_frm->show();
}

void Display::Hide()
{
    m_frm->hide();
}

void Display::Parent(int32_t hwnd)
{
    Q_UNUSED(hwnd); // the window is always a top-level window of its own
}

void Display::setValue(double v)
{
    m_frm->kest720Display1->setValue(static_cast<float>(v));
}

void Display::ShowMessage(const QString &msg)
{
    m_frm->kest720Display1->ShowMessage(msg);
}

void Display::setAlarmState(enumAlarmState s)
{
    ui::OLE_COLOR colour = 0;
    bool flash = false;
    switch (s) {
    case StateUnknown:
    case AckNormal:
        colour = m_colorAckNormal;
        break;
    case UnackAlarm:
        colour = m_colorUnAckAlarm;
        flash = true;
        break;
    case AckAlarm:
        colour = m_colorAckAlarm;
        break;
    case UnAckNormal:
        colour = m_colorUnAckNormal;
        break;
    default:
        m_lastState = s;
        return;
    }
    m_frm->setLedColor(colour);
    if (!flash)
        m_frm->Timer1->stop();
    else if (!m_frm->Timer1->isActive())
        m_frm->Timer1->start();
    if (s == UnackAlarm)
        m_frm->cmdAlarmAck->setEnabled(true);
    m_lastState = s;
}

namespace
{

// The line is narrow, and a line edit scrolls a text wider than itself to its
// end, which hid "Alarm" and the first digits of a precise alarm point: the
// text is made smaller until it fits, down to a size that stays legible.
void fitAlarmLine(QLineEdit *line)
{
    QFont font = line->parentWidget() ? line->parentWidget()->font() : line->font();
    const int frame = line->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, line);
    const qreal room = line->width() - 2 * frame - 4; // a line edit keeps 2 px each side
    // Fonts are sized in points or, on some platforms, in pixels.
    const bool points = font.pointSizeF() > 0;
    const qreal smallest = points ? 6.0 : 8.0;
    auto size = [&] { return points ? font.pointSizeF() : qreal(font.pixelSize()); };
    while (size() > smallest && QFontMetricsF(font).horizontalAdvance(line->text()) > room) {
        if (points)
            font.setPointSizeF(std::max(smallest, size() - 0.5));
        else
            font.setPixelSize(int(std::max(smallest, size() - 1)));
    }
    line->setFont(font);
    line->setCursorPosition(0);
}

} // namespace

void Display::setAlarmValue(const QString &s)
{
    QLineEdit *line = m_frm->txtAlarm;
    if (!s.isEmpty()) {
        line->setVisible(true);
        line->raise();
    } else {
        line->setVisible(false);
        line->lower();
    }
    line->setText(QStringLiteral("Alarm: ") + s);
    fitAlarmLine(line);
}

QString Display::AlarmValue() const
{
    return m_frm->txtAlarm->text();
}

void Display::setUseAcknowledge(bool use)
{
    m_useAcknowledge = use;
    m_frm->cmdAlarmAck->setVisible(use);
}

void Display::Reset()
{
    m_frm->txtAlarm->setText(QString());
    m_frm->cmdAlarmAck->setEnabled(false);
    m_frm->Timer1->stop();
    m_frm->kest720Display1->setValue(0);
    m_frm->kest720Display1->setScaleNumber(5);
    setUnits(QString());
    setAlarmState(AckNormal);
}

} // namespace norvale::uicontrol
