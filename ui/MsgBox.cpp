#include "ui/MsgBox.h"
#include "resources/Bitmaps.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLoggingCategory>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <cmath>

Q_LOGGING_CATEGORY(lcMsgBox, "norvale.msgbox")

namespace norvale::ui
{

namespace
{

constexpr int PictureNumber = 103;
constexpr OLE_COLOR PictureTransparent = olecolor::White;

// The widget whose native window has this handle, if it is one of ours.
QWidget *widgetForHandle(int64_t hwnd)
{
    if (hwnd == 0)
        return nullptr;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->internalWinId() != 0 && static_cast<int64_t>(w->internalWinId()) == hwnd)
            return w;
    return nullptr;
}

} // namespace

frmMsg::frmMsg(QWidget *parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("frmMsg"));
    setWindowTitle(QStringLiteral("Norvale 721 Assistant for Excel"));
    setFixedSize(330, 96);

    Message = new QLabel(QStringLiteral("lblMsg"), this);
    Message->setObjectName(QStringLiteral("Message"));
    Message->setGeometry(12, 12, 260, 40);
    Message->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Message->setWordWrap(true);
    Message->setTextFormat(Qt::PlainText);

    cmdCancel = new QPushButton(QStringLiteral("Hide"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setGeometry(12, 60, 81, 25);
    connect(cmdCancel, &QPushButton::clicked, this, &frmMsg::cmdCancel_Click);

    const QImage picture = norvale::resources::assistantPicture(PictureNumber);
    if (picture.isNull())
        qCWarning(lcMsgBox) << "the message window's picture is missing";
    m_picture = StdPicture::fromBitmap(picture);
}

QRect frmMsg::pictureRect() const
{
    // Right edge on the inner area's right edge, bottom edge 2 pixels above
    // the inner area's bottom edge.
    const int w = m_picture.width(), h = m_picture.height();
    return QRect(width() - w, height() - h - 2, w, h);
}

void frmMsg::paintEvent(QPaintEvent *)
{
    if (m_picture.type() != StdPicture::Type::Bitmap)
        return;
    QPainter p(this);
    const QRect r = pictureRect();
    const PaintEffects fx(QStringLiteral("kest721xl"));
    fx.PaintTransparentStdPic(p, r.x(), r.y(), r.width(), r.height(), &m_picture, 0, 0,
                              PictureTransparent);
}

void frmMsg::cmdCancel_Click()
{
    hide();
    emit ButtonClick();
}

void frmMsg::closeEvent(QCloseEvent *e)
{
    if (m_unloading) {
        e->accept();
        return;
    }
    // The user's close only hides the window; its MsgBox can show it again.
    e->ignore();
    hide();
}

void frmMsg::Unload()
{
    m_unloading = true;
    close();
}

MsgBox::MsgBox(QObject *parent) : QObject(parent)
{
    form();
}

frmMsg *MsgBox::form()
{
    if (m_form.isNull()) {
        m_form = new frmMsg();
        connect(m_form, &frmMsg::ButtonClick, this, &MsgBox::ButtonClick);
    }
    return m_form;
}

MsgBox::~MsgBox()
{
    if (m_form.isNull())
        return;
    try {
        m_form->setParent(nullptr, m_form->windowFlags());
        m_form->Unload();
        delete m_form;
    } catch (...) {
        // Ending quietly matters more than a window that will not close.
    }
}

void MsgBox::Show()
{
    form()->show();
    form()->repaint();
}

void MsgBox::Hide()
{
    form()->hide();
}

void MsgBox::Parent(int64_t hwnd)
{
    QWidget *owner = widgetForHandle(hwnd);
    // An unknown handle is treated as the desktop: the window is centred on
    // the screen rather than placed against a rectangle that does not exist.
    if (hwnd != 0 && !owner)
        qCWarning(lcMsgBox) << "no window with handle" << hwnd << "- centring on the screen";
    QRect area;
    if (owner) {
        area = owner->frameGeometry();
    } else {
        const QScreen *screen = QGuiApplication::primaryScreen();
        area = screen ? screen->geometry() : QRect();
    }
    const int x = static_cast<int>(std::lround(area.width() / 2.0 - form()->width() / 2.0));
    const int y = static_cast<int>(std::lround(area.height() / 2.0 - form()->height() / 2.0));
    const bool wasVisible = form()->isVisible();
    // Owned by that window, it stays above it and goes with it.
    form()->setParent(owner, form()->windowFlags());
    form()->move(area.topLeft() + QPoint(x, y));
    if (wasVisible) {
        form()->show();
        form()->raise();
    }
}

void MsgBox::Message(const QString &msg, const std::optional<QString> &Title)
{
    if (Title)
        form()->setWindowTitle(*Title);
    form()->Message->setText(msg);
    Show();
}

} // namespace norvale::ui
