#include "UIControl/Form1.h"
#include "platform/AutomationError.h"
#include "resources/Bitmaps.h"
#include "displaycontrols/Fonts.h"
#include "displaycontrols/PropertyBag.h"
#include "displaycontrols/Twips.h"
#include "displaycontrols/kest720Display.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

Q_LOGGING_CATEGORY(lcForm1, "norvale.kest720ui")

namespace norvale::uicontrol
{

namespace
{

// The reading control's stored settings on this window (sizes in HIMETRIC).
constexpr auto StoredDisplayProperties = "_extentx = 6033\n"
                                         "_extenty = 3201\n"
                                         "backcolor = 49152\n"
                                         "bordercolor = 0\n";

constexpr ui::OLE_COLOR PanelGreen = 0x0000C000;
constexpr QRgb LedTransparent = 0xFFFF00FF;

// The bright picture for each LED colour; its dark picture is the next number.
int brightPicture(ui::OLE_COLOR c)
{
    switch (c) {
    case ui::olecolor::Blue:
        return 101;
    case ui::olecolor::Green:
        return 103;
    case ui::olecolor::Black:
        return 105;
    case ui::olecolor::Red:
        return 107;
    case ui::olecolor::Yellow:
        return 109;
    default:
        return 0;
    }
}

} // namespace

LedPicture::LedPicture(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("picLed"));
    // Opaque, so that a flash repaints the LED alone and not the window.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFixedSize(30, 30);
}

void LedPicture::setPicture(int number, QImage picture, bool paintNow)
{
    m_number = number;
    m_picture = ui::StdPicture::fromBitmap(std::move(picture));
    if (paintNow)
        repaint();
}

void LedPicture::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), ui::toQColor(ui::olecolor::SystemButtonFace));
    if (m_number == 0)
        return;
    const ui::PaintEffects fx(QStringLiteral("Kest720UI"));
    fx.PaintTransparentStdPic(p, 0, 0, 30, 30, &m_picture, 0, 0,
                              ui::colorRefFromRgb(LedTransparent));
}

Form1::Form1(QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("721 Virtual Instrument Display"));
    setFont(displaycontrols::fonts::font(QStringLiteral("Arial"), 8.25));
    setFixedSize(displaycontrols::twips::toPixels(3630), displaycontrols::twips::toPixels(2610));

    kest720Display1 = new kest720Display(this);
    kest720Display1->setObjectName(QStringLiteral("kest720Display1"));
    kest720Display1->setGeometry(displaycontrols::twips::rect(120, 120, 3420, 1815));
    kest720Display1->ReadProperties(
        displaycontrols::PropertyBag::fromText(QLatin1String(StoredDisplayProperties)));

    txtAlarm = new QLineEdit(QStringLiteral("txtAlarm"), this);
    txtAlarm->setObjectName(QStringLiteral("txtAlarm"));
    txtAlarm->setGeometry(displaycontrols::twips::rect(240, 1440, 1455, 375));
    txtAlarm->setFocusPolicy(Qt::ClickFocus); // not a tab stop
    // The line shows what the Assistant set; typing into it would change
    // what AlarmValue reads back.
    txtAlarm->setReadOnly(true);
    QPalette alarmPal = txtAlarm->palette();
    alarmPal.setColor(QPalette::Base, ui::toQColor(PanelGreen));
    txtAlarm->setPalette(alarmPal);

    cmdAlarmAck = new QPushButton(QStringLiteral("Acknowledge Alarm"), this);
    cmdAlarmAck->setObjectName(QStringLiteral("cmdAlarmAck"));
    cmdAlarmAck->setGeometry(displaycontrols::twips::rect(360, 2040, 2295, 435));
    cmdAlarmAck->setEnabled(false);
    connect(cmdAlarmAck, &QPushButton::clicked, this, &Form1::cmdAlarmAck_Click);

    picLed = new LedPicture(this);
    picLed->move(displaycontrols::twips::toPixels(3000), displaycontrols::twips::toPixels(2040));

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(250);
    connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);

    // Created hidden, cleared of its design text, on top of other windows.
    txtAlarm->setText(QString());
}

void Form1::setLedColor(ui::OLE_COLOR c)
{
    const int bright = brightPicture(c);
    if (bright == 0)
        return;
    AlarmColorIndex = bright;
    PaintLed(AlarmColorIndex);
}

void Form1::PaintLed(int n)
{
    if (n == 0)
        return;
    QImage picture = norvale::resources::displayPicture(n);
    if (picture.isNull())
        throw platform::AutomationError(
            326, QStringLiteral("Kest720UI"),
            QStringLiteral("Resource with identifier '%1' not found").arg(n));
    picLed->setPicture(n, std::move(picture));
}

void Form1::Timer1_Timer()
{
    // Flashing before any LED colour was chosen has nothing to show: the dark
    // picture of "no picture" would be picture 1, which does not exist.
    if (AlarmColorIndex != 0) {
        try {
            PaintLed(m_flashPhase ? AlarmColorIndex + 1 : AlarmColorIndex);
        } catch (const platform::AutomationError &e) {
            qCWarning(lcForm1) << "LED flash:" << e.what();
        }
    }
    m_flashPhase = !m_flashPhase;
}

void Form1::cmdAlarmAck_Click()
{
    cmdAlarmAck->setEnabled(false);
    emit AlarmAcknowledge();
}

QPoint Form1::defaultCorner() const
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return pos();
    const QRect area = screen->availableGeometry();
    // Before the window manager has framed the window its frame is the window.
    const int frameWidth = qMax(frameGeometry().width(), width());
    return {area.x() + area.width() - frameWidth, area.y()};
}

void Form1::placeAt(std::optional<QPoint> topLeft)
{
    // A place on a screen that has gone (a projector unplugged) would put the
    // window out of reach: its title bar's left end must be on a screen.
    const QSize grip(qMin(width(), 40), 20);
    const auto reachable = [&](QPoint p) {
        const QRect bar(p, grip);
        for (const QScreen *screen : QGuiApplication::screens())
            if (screen->availableGeometry().contains(bar))
                return true;
        return false;
    };
    m_atDefaultCorner = !topLeft || !reachable(*topLeft);
    m_placedAt = m_atDefaultCorner ? defaultCorner() : *topLeft;
    move(m_placedAt);
}

std::optional<QPoint> Form1::shownPosition() const
{
    if (!m_shown)
        return std::nullopt;
    return pos();
}

void Form1::showEvent(QShowEvent *e)
{
    QWidget::showEvent(e);
    m_shown = true;
    // The frame is known once the window is on the screen (with a window
    // manager, a moment later): the corner then lies further left by its width.
    if (m_atDefaultCorner) {
        const auto keepInCorner = [this] {
            if (m_atDefaultCorner && pos() == m_placedAt && pos() != defaultCorner())
                move(m_placedAt = defaultCorner());
        };
        keepInCorner();
        QTimer::singleShot(200, this, keepInCorner);
    }
    // A window painted afresh shows the bright picture, whatever the phase.
    try {
        PaintLed(AlarmColorIndex);
    } catch (const platform::AutomationError &err) {
        qCWarning(lcForm1) << "LED repaint:" << err.what();
    }
}

void Form1::paintEvent(QPaintEvent *e)
{
    QWidget::paintEvent(e);
    // A window painted afresh shows the bright picture, whatever the flash
    // phase; the LED is painted after the window in this same pass.
    if (AlarmColorIndex == 0 || picLed->shownPicture() == AlarmColorIndex)
        return;
    QImage picture = norvale::resources::displayPicture(AlarmColorIndex);
    if (picture.isNull())
        qCWarning(lcForm1) << "LED repaint: no picture" << AlarmColorIndex;
    else
        picLed->setPicture(AlarmColorIndex, std::move(picture), false);
}

void Form1::closeEvent(QCloseEvent *e)
{
    if (m_unloading) {
        e->accept();
        return;
    }
    // The user's close only hides the window; its Display keeps working.
    e->ignore();
    hide();
}

void Form1::Unload()
{
    m_unloading = true;
    Timer1->stop();
    close();
}

} // namespace norvale::uicontrol
