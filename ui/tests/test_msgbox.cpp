// The message window on the offscreen platform: texts, placement, the Hide
// button, the close box and the corner picture.
#include "ui/MsgBox.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace norvale::ui;

namespace
{

// Checks that the window's centre is within a pixel of the centre of `area`.
void expectCentred(const QWidget *w, const QRect &area, int64_t hwnd)
{
    const QPoint off = w->pos() + QPoint(w->width(), w->height()) / 2 -
                       (area.topLeft() + QPoint(area.width(), area.height()) / 2);
    EXPECT_LE(std::abs(off.x()), 1) << hwnd;
    EXPECT_LE(std::abs(off.y()), 1) << hwnd;
}

} // namespace

TEST(MsgBox, StartsHiddenAndMessageSetsTextsAndShows)
{
    MsgBox m;
    EXPECT_FALSE(m.form()->isVisible());
    EXPECT_EQ(m.form()->Message->text(), "lblMsg");
    EXPECT_EQ(m.form()->cmdCancel->text(), "Hide");
    struct Step {
        const char *legend;
        QString msg;
        std::optional<QString> title;
        QString expectedTitle;
    } steps[] = {
        {"text only keeps the design caption", "Connecting to unit...", std::nullopt,
         "Norvale 721 Assistant for Excel"},
        {"title replaces the caption", "Downloading internal data log...", "721 Assistant",
         "721 Assistant"},
        {"omitted title keeps the last caption", "Done", std::nullopt, "721 Assistant"},
        {"empty title is a title", "", QString(""), ""},
    };
    QPoint firstPos;
    for (const auto &s : steps) {
        m.Message(s.msg, s.title);
        EXPECT_TRUE(m.form()->isVisible()) << s.legend;
        EXPECT_EQ(m.form()->Message->text(), s.msg) << s.legend;
        EXPECT_EQ(m.form()->windowTitle(), s.expectedTitle) << s.legend;
        if (firstPos.isNull())
            firstPos = m.form()->pos();
        EXPECT_EQ(m.form()->pos(), firstPos) << s.legend << ": the window stays where it is";
    }
    m.Hide();
    EXPECT_FALSE(m.form()->isVisible());
}

TEST(MsgBox, ParentZeroOrUnknownCentresOnTheScreen)
{
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    for (int64_t hwnd : {int64_t{0}, int64_t{0x7FFF1234}, int64_t{-1}}) {
        MsgBox m;
        m.Message("x");
        m.Parent(hwnd);
        expectCentred(m.form(), screen, hwnd);
        EXPECT_TRUE(m.form()->isVisible()) << hwnd << ": a shown window stays shown";
        EXPECT_EQ(m.form()->parentWidget(), nullptr) << hwnd;
    }
}

TEST(MsgBox, ParentCentresInsideAnotherWindowAndStaysAboveIt)
{
    QWidget owner;
    owner.setGeometry(100, 80, 600, 400);
    owner.show();
    MsgBox m;
    m.Parent(static_cast<int64_t>(owner.winId()));
    EXPECT_EQ(m.form()->parentWidget(), &owner);
    EXPECT_TRUE(m.form()->isWindow()) << "still a window of its own";
    EXPECT_FALSE(m.form()->isVisible()) << "placing does not show";
    expectCentred(m.form(), owner.frameGeometry(), static_cast<int64_t>(owner.winId()));
    m.Show();
    EXPECT_TRUE(m.form()->isVisible());
}

TEST(MsgBox, HideButtonReportsEachPressButTheCloseBoxOnlyHides)
{
    MsgBox m;
    QSignalSpy spy(&m, &MsgBox::ButtonClick);
    m.Message("first");
    QPointer<frmMsg> form = m.form();
    EXPECT_FALSE(form->close()) << "the close is refused";
    EXPECT_FALSE(form->isVisible());
    ASSERT_FALSE(form.isNull());
    EXPECT_EQ(spy.count(), 0) << "closing is not pressing the button";
    m.Message("second");
    EXPECT_TRUE(form->isVisible());
    for (int presses = 1; presses <= 2; ++presses) {
        form->cmdCancel->click();
        EXPECT_FALSE(form->isVisible());
        EXPECT_EQ(spy.count(), presses);
        m.Show();
    }
}

TEST(MsgBox, ReleasingTheMsgBoxClosesTheWindow)
{
    QWidget owner;
    owner.show();
    QPointer<frmMsg> form;
    {
        MsgBox m;
        form = m.form();
        m.Parent(static_cast<int64_t>(owner.winId()));
        m.Message("x");
    }
    EXPECT_TRUE(form.isNull());
    EXPECT_TRUE(owner.findChildren<frmMsg *>().isEmpty());
}

TEST(MsgBox, CornerPictureIsPaintedWithWhiteTransparent)
{
    MsgBox m;
    m.Message("Please wait.");
    const QRect r = m.form()->pictureRect();
    const QSize inner = m.form()->size();
    EXPECT_EQ(r.size(), QSize(32, 32));
    EXPECT_EQ(r.right(), inner.width() - 1);
    EXPECT_EQ(r.bottom(), inner.height() - 3);
    const QImage img = m.form()->grab().toImage();
    const QColor background = m.form()->palette().color(QPalette::Window);
    EXPECT_EQ(img.pixelColor(r.center()), QColor(Qt::black)) << "the trefoil's hub";
    EXPECT_EQ(img.pixelColor(r.topLeft()), background) << "white is transparent";
    EXPECT_EQ(img.pixelColor(r.bottomRight()), background);
    EXPECT_EQ(img.pixelColor(r.center().x(), r.top() + 3), QColor(255, 212, 0)) << "the disc";
}

TEST(MsgBox, OutlivesTheWindowItWasPlacedIn)
{
    MsgBox m;
    QSignalSpy spy(&m, &MsgBox::ButtonClick);
    {
        QWidget owner;
        owner.show();
        m.Parent(static_cast<int64_t>(owner.winId()));
        m.Message("first");
    } // the owner goes, and its owned window with it
    m.Message("second");
    EXPECT_TRUE(m.form()->isVisible());
    EXPECT_EQ(m.form()->Message->text(), "second");
    EXPECT_EQ(m.form()->parentWidget(), nullptr);
    m.form()->cmdCancel->click();
    EXPECT_EQ(spy.count(), 1) << "the fresh window reports its button";
}
