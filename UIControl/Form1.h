#pragma once
// Form1: the small always-on-top "721 Virtual Instrument Display" window
// behind a Display object: the reading panel, the alarm LED, the alarm text
// line and the "Acknowledge Alarm" button. It holds no alarm logic; Display
// tells it what to show.
#include "ui/OleColor.h"
#include "ui/PaintEffects.h"

#include <QWidget>
#include <optional>

class QLineEdit;
class QPushButton;
class QTimer;

namespace norvale::displaycontrols
{
class kest720Display;
}

namespace norvale::uicontrol
{

using displaycontrols::kest720Display;

// picLed: the picture box the LED is painted into.
class LedPicture : public QWidget
{
    Q_OBJECT
public:
    explicit LedPicture(QWidget *parent = nullptr);
    // The resource number of the picture on show, 0 for none.
    int shownPicture() const { return m_number; }
    // Paints at once unless `paintNow` is false (inside a paint of the window).
    void setPicture(int number, QImage picture, bool paintNow = true);

protected:
    void paintEvent(QPaintEvent *) override;

private:
    int m_number = 0;
    ui::StdPicture m_picture;
};

class Form1 : public QWidget
{
    Q_OBJECT
public:
    explicit Form1(QWidget *parent = nullptr);

    // Resource number of the bright LED picture in use; 0 until a colour is chosen.
    int AlarmColorIndex = 0;
    // Chooses the LED pictures by colour and paints the bright one; a colour
    // without pictures changes nothing.
    void setLedColor(ui::OLE_COLOR c);

    // Closes the window for good (a close from the user only hides it).
    void Unload();

    // Where the window opens: at `topLeft` (of its frame) when its title bar
    // would lie on a screen, else in the top-right corner of the primary
    // screen's available area, where it hides no menu or toolbar of the
    // window the person works in.
    void placeAt(std::optional<QPoint> topLeft);
    // The frame's top-left corner, once the window has been on the screen.
    std::optional<QPoint> shownPosition() const;

    // The controls, reached directly by Display.
    kest720Display *kest720Display1;
    QLineEdit *txtAlarm;
    QPushButton *cmdAlarmAck;
    LedPicture *picLed;
    QTimer *Timer1;

signals:
    void AlarmAcknowledge();

protected:
    void closeEvent(QCloseEvent *e) override;
    void showEvent(QShowEvent *e) override;
    void paintEvent(QPaintEvent *e) override;

private slots:
    void Timer1_Timer();
    void cmdAlarmAck_Click();

private:
    void PaintLed(int n);

    QPoint defaultCorner() const;

    bool m_flashPhase = false; // lives as long as the window, never reset
    bool m_unloading = false;
    bool m_atDefaultCorner = false;
    QPoint m_placedAt;
    bool m_shown = false;
};

} // namespace norvale::uicontrol
