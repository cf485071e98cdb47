#include "assistant/dialogs/frmAbout.h"

#include "assistant/dialogs/Dialogs.h"
#include "control/dbus/kest720Proxy.h"
#include "ui_frmAbout.h"

#include <QLoggingCategory>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

Q_LOGGING_CATEGORY(lcAbout, "norvale.assistant.about")

namespace norvale::assistant
{

QPixmap assistantLogo(int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r(2, 2, size - 4, size - 4);
    p.setPen(QPen(QColor(0x20, 0x3a, 0x5c), size / 16.0));
    p.setBrush(QColor(0xf2, 0xc1, 0x2e));
    p.drawEllipse(r);
    // The dial's scale and its needle.
    const QPointF c = r.center();
    p.setPen(QPen(QColor(0x20, 0x3a, 0x5c), size / 24.0, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i <= 6; ++i) {
        const double a = (210 - i * 40) * M_PI / 180;
        const QPointF dir(std::cos(a), -std::sin(a));
        p.drawLine(c + dir * size * 0.30, c + dir * size * 0.40);
    }
    const double a = 70 * M_PI / 180;
    p.setPen(QPen(QColor(0xc0, 0x20, 0x20), size / 16.0, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(c, c + QPointF(std::cos(a), -std::sin(a)) * size * 0.34);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x20, 0x3a, 0x5c));
    p.drawEllipse(c, size / 14.0, size / 14.0);
    QFont f = p.font();
    f.setBold(true);
    f.setPixelSize(size / 5);
    p.setFont(f);
    p.setPen(QColor(0x20, 0x3a, 0x5c));
    p.drawText(QRectF(r.left(), c.y() + size * 0.08, r.width(), size * 0.3), Qt::AlignCenter,
               QStringLiteral("721"));
    return pm;
}

frmAbout::frmAbout(QWidget *parent) : AssistantForm(parent), ui(new Ui::frmAbout)
{
    ui->setupUi(this);
    QPalette white = ui->banner->palette();
    white.setColor(QPalette::Window, Qt::white);
    white.setColor(QPalette::WindowText, Qt::black);
    ui->banner->setPalette(white);
    ui->imgLogo->setPixmap(assistantLogo(64));
    ui->imgLogo->setAccessibleName(QStringLiteral("Logo"));
    connect(ui->cmdOK, &QPushButton::clicked, this, &frmAbout::reject);
    norvale::assistant::nameControls(this);
}

frmAbout::~frmAbout() = default;

void frmAbout::activate()
{
    ui->lblSerialNumber->setText(QStringLiteral("Not connected"));
    if (instrumentReady()) {
        try {
            ui->lblSerialNumber->setText(instrument()->SerialNumber());
        } catch (const std::exception &e) {
            qCWarning(lcAbout) << "serial number not read:" << e.what();
        }
    }
}

void frmAbout::reject()
{
    unload();
}

} // namespace norvale::assistant
