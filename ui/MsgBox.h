#pragma once
// MsgBox: a small modeless status window with one line of text and a "Hide"
// button, shown while a long operation runs without blocking its caller.
#include "ui/PaintEffects.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <optional>

class QLabel;
class QPushButton;

namespace norvale::ui
{

// frmMsg: the window of a MsgBox.
class frmMsg : public QWidget
{
    Q_OBJECT
public:
    explicit frmMsg(QWidget *parent = nullptr);

    QLabel *Message;
    QPushButton *cmdCancel;

    // Closes the window for good (a close from the user only hides it).
    void Unload();
    // Where the corner picture is painted, in the window's own pixels.
    QRect pictureRect() const;

signals:
    void ButtonClick();

protected:
    void paintEvent(QPaintEvent *) override;
    void closeEvent(QCloseEvent *e) override;

private slots:
    void cmdCancel_Click();

private:
    StdPicture m_picture;
    bool m_unloading = false;
};

class MsgBox : public QObject
{
    Q_OBJECT
public:
    explicit MsgBox(QObject *parent = nullptr);
    ~MsgBox() override;

    // The interface, in its order.
    void Show();
    void Hide();
    // Places the window centred inside the window with that handle (0: the
    // screen) and keeps it above that window.
    void Parent(int64_t hwnd);
    void Message(const QString &msg, const std::optional<QString> &Title = std::nullopt);

    // The window; a window that went with the window it was placed in is
    // replaced by a fresh one.
    frmMsg *form();

signals:
    void ButtonClick();

private:
    QPointer<frmMsg> m_form;
};

} // namespace norvale::ui
