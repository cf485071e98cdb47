#include "displaycontrols/kest720Display.h"
#include "displaycontrols/Fonts.h"
#include "displaycontrols/PropertyBag.h"
#include "displaycontrols/Twips.h"
#include "displaycontrols/kest720Scale.h"

#include <QLabel>
#include <QPainter>
#include <QTimer>
#include <cmath>

namespace norvale::displaycontrols
{

namespace
{

constexpr ui::OLE_COLOR DefaultBackColor = 0x00008000;
constexpr ui::OLE_COLOR DefaultBorderColor = ui::olecolor::Black;
constexpr ui::OLE_COLOR DefaultAlarmColor = ui::olecolor::Red;

QLabel *makeLabel(QWidget *parent, const char *name, const QRect &r, Qt::Alignment align,
                  const QFont &font, const QString &caption)
{
    auto *l = new QLabel(caption, parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(r);
    l->setAlignment(align | Qt::AlignTop);
    l->setFont(font);
    l->setAutoFillBackground(true);
    l->setTextFormat(Qt::PlainText);
    return l;
}

} // namespace

QString formatReading(float v)
{
    // Non-finite numbers have no digits to show; dashes say "no reading".
    if (!std::isfinite(v))
        return QStringLiteral("----");
    const double d = v;
    int decimals = 0, digits = 1;
    if (d < 2)
        decimals = 2;
    else if (d < 20)
        decimals = 1;
    else if (d < 100)
        digits = 2;
    else
        digits = 3;
    const double scaled = std::round(std::fabs(d) * std::pow(10.0, decimals));
    QString body;
    if (scaled < 1e15) {
        body = QString::number(static_cast<qlonglong>(scaled));
        if (decimals > 0) {
            body = body.rightJustified(decimals + 1, QLatin1Char('0'));
            body.insert(body.size() - decimals, QLatin1Char('.'));
        }
    } else {
        body = QString::number(std::fabs(d), 'f', decimals);
    }
    const qsizetype intDigits = decimals > 0 ? body.indexOf(QLatin1Char('.')) : body.size();
    if (intDigits < digits)
        body.prepend(QString(digits - intDigits, QLatin1Char('0')));
    return d < 0 ? QLatin1Char('-') + body : body;
}

QString unitPrefixLabel(const QString &units)
{
    if (units.indexOf(QLatin1Char('u')) >= 1)
        return QString(QChar(0xB5));
    if (units.indexOf(QLatin1Char('m')) >= 1)
        return QStringLiteral("m");
    return QString();
}

QString rateUnitLabel(const QString &units)
{
    if (units.indexOf(QLatin1String("Sv")) >= 1)
        return QStringLiteral("Sv/h");
    if (units.indexOf(QLatin1Char('R')) >= 1)
        return QStringLiteral("R/h");
    return QString();
}

PanelShape::PanelShape(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("Shape1"));
}

void PanelShape::setBorderColor(ui::OLE_COLOR c)
{
    m_border = c;
    update();
}

void PanelShape::setFillColor(ui::OLE_COLOR c)
{
    m_fill = c;
    update();
}

void PanelShape::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal half = BorderWidth / 2.0;
    const QRectF r = QRectF(rect()).adjusted(half, half, -half, -half);
    const qreal radius = std::min(width(), height()) / 10.0;
    p.setPen(QPen(ui::toQColor(m_border), BorderWidth));
    p.setBrush(ui::toQColor(m_fill));
    p.drawRoundedRect(r, radius, radius);
}

kest720Display::kest720Display(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("kest720Display"));
    setAutoFillBackground(true);
    setFont(fonts::font(QStringLiteral("Lucida Sans Unicode"), 8.25));

    Shape1 = new PanelShape(this);
    const QFont big = fonts::font(QStringLiteral("Lucida Sans Unicode"), 20.25);
    lblValue =
        makeLabel(this, "lblValue", twips::rect(240, 120, 1095, 555), Qt::AlignRight,
                  fonts::font(QStringLiteral("Verdana"), 20.25, true), QStringLiteral("0.01"));
    lblScale = makeLabel(this, "lblScale", twips::rect(1380, 120, 495, 555), Qt::AlignRight, big,
                         QStringLiteral("m"));
    lblRate = makeLabel(this, "lblRate", twips::rect(1920, 120, 1155, 555), Qt::AlignLeft, big,
                        QStringLiteral("R/h"));
    lblMessage = makeLabel(this, "lblMessage", twips::rect(240, 120, 3015, 555), Qt::AlignHCenter,
                           fonts::font(QStringLiteral("Lucida Sans Unicode"), 14.25), QString());
    kest720Scale1 = new kest720Scale(this);
    kest720Scale1->setObjectName(QStringLiteral("kest720Scale1"));
    kest720Scale1->setGeometry(twips::rect(240, 720, 3015, 855));
    // The stored design setting of the scale inside the panel.
    kest720Scale1->setBackColor(0x0000C000);

    for (QLabel *l : {lblValue, lblScale, lblRate, lblMessage}) {
        QPalette pal = l->palette();
        pal.setColor(QPalette::WindowText, ui::toQColor(ui::olecolor::SystemWindowText));
        l->setPalette(pal);
        setLabelBack(l, ui::olecolor::SystemWindow);
    }
    QPalette own = palette();
    own.setColor(QPalette::Window, ui::toQColor(m_ownBackColor));
    setPalette(own);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(250);
    connect(Timer1, &QTimer::timeout, this, &kest720Display::Timer1_Timer);

    resize(sizeHint());
}

QSize kest720Display::sizeHint() const
{
    return QSize(twips::toPixels(3420), twips::toPixels(1815));
}

void kest720Display::setLabelBack(QLabel *label, ui::OLE_COLOR c)
{
    QPalette pal = label->palette();
    pal.setColor(QPalette::Window, ui::toQColor(c));
    label->setPalette(pal);
}

void kest720Display::resizeEvent(QResizeEvent *)
{
    const int w = width() * twips::PerPixel, h = height() * twips::PerPixel;
    Shape1->setGeometry(twips::rect(10, 10, std::max(0, w - 40), std::max(0, h - 40)));
}

void kest720Display::Reset()
{
    kest720Scale1->setValue(0);
    kest720Scale1->setScaleNumber(500);
    setValue(0);
}

void kest720Display::setValue(float v)
{
    m_lastValue = v;
    kest720Scale1->setValue(static_cast<double>(v));
    lblMessage->hide();
    lblValue->setText(formatReading(v));
    lblValue->repaint();
}

ui::OLE_COLOR kest720Display::BorderColor() const
{
    return Shape1->borderColor();
}

void kest720Display::setBorderColor(ui::OLE_COLOR c)
{
    Shape1->setBorderColor(c);
}

ui::OLE_COLOR kest720Display::BackColor() const
{
    return Shape1->fillColor();
}

void kest720Display::setBackColor(ui::OLE_COLOR c)
{
    m_ownBackColor = c;
    QPalette own = palette();
    own.setColor(QPalette::Window, ui::toQColor(c));
    setPalette(own);
    Shape1->setFillColor(c);
    setLabelBack(lblMessage, c);
    kest720Scale1->setBackColor(c);
    setLabelBack(lblValue, c);
    setLabelBack(lblScale, c);
    setLabelBack(lblRate, c);
}

int kest720Display::ScaleNumber() const
{
    return kest720Scale1->ScaleNumber();
}

void kest720Display::setScaleNumber(int n)
{
    kest720Scale1->setScaleNumber(n);
}

void kest720Display::setScaleUnits(const QString &s)
{
    m_scaleUnits = s;
    lblScale->setText(unitPrefixLabel(s));
    lblRate->setText(rateUnitLabel(s));
}

void kest720Display::ShowMessage(const QString &msg)
{
    lblMessage->show();
    lblMessage->raise();
    lblMessage->setText(msg);
}

void kest720Display::Flash(bool bOn)
{
    if (bOn) {
        Timer1->start();
    } else {
        Timer1->stop();
        setBorderColor(ui::olecolor::Black);
    }
}

void kest720Display::Timer1_Timer()
{
    setBorderColor(m_flashPhase ? m_alarmColor : ui::olecolor::Black);
    m_flashPhase = !m_flashPhase;
}

void kest720Display::ReadProperties(const PropertyBag &bag)
{
    setBorderColor(bag.readColor(QStringLiteral("BorderColor"), DefaultBorderColor));
    setBackColor(bag.readColor(QStringLiteral("BackColor"), DefaultBackColor));
    setAlarmColor(bag.readColor(QStringLiteral("AlarmColor"), DefaultAlarmColor));
}

void kest720Display::WriteProperties(PropertyBag &bag) const
{
    bag.WriteProperty(QStringLiteral("BackColor"), static_cast<qlonglong>(BackColor()),
                      static_cast<qlonglong>(DefaultBackColor));
    bag.WriteProperty(QStringLiteral("BorderColor"), static_cast<qlonglong>(BorderColor()),
                      static_cast<qlonglong>(DefaultBorderColor));
    bag.WriteProperty(QStringLiteral("AlarmColor"), static_cast<qlonglong>(m_alarmColor),
                      static_cast<qlonglong>(DefaultAlarmColor));
}

} // namespace norvale::displaycontrols
