#include "assistant/dialogs/DesktopWindows.h"

#include "assistant/dialogs/Dialogs.h"
#include "UIControl/Display.h"
#include "UIControl/Form1.h"
#include "ui/MsgBox.h"

namespace norvale::assistant
{

HostedDisplay::HostedDisplay() : m_display(std::make_unique<Display>())
{
    connect(m_display.get(), &Display::Acknowledge, this, &InstrumentDisplay::Acknowledge);
}

HostedDisplay::~HostedDisplay() = default;

void HostedDisplay::Reset()
{
    m_display->Reset();
}

void HostedDisplay::Show()
{
    m_display->Show();
}

void HostedDisplay::Hide()
{
    m_display->Hide();
}

void HostedDisplay::ShowMessage(const QString &message)
{
    m_display->ShowMessage(message);
}

void HostedDisplay::setValue(double value)
{
    m_display->setValue(value);
}

void HostedDisplay::setUnits(const QString &units)
{
    m_display->setUnits(units);
}

void HostedDisplay::setScaleNumber(int16_t scale)
{
    m_display->setScaleNumber(scale);
}

void HostedDisplay::setAlarmState(modAlarm::enumAlarmState state)
{
    m_display->setAlarmState(static_cast<uicontrol::enumAlarmState>(state));
}

void HostedDisplay::setAlarmValue(const QString &text)
{
    m_display->setAlarmValue(text);
}

void HostedDisplay::setUseAcknowledge(bool use)
{
    m_display->setUseAcknowledge(use);
}

void HostedDisplay::setColors(uint32_t ackNormal, uint32_t unAckAlarm, uint32_t ackAlarm,
                              uint32_t unAckNormal)
{
    m_display->setColorAckAlarm(ackAlarm);
    m_display->setColorAckNormal(ackNormal);
    m_display->setColorUnAckAlarm(unAckAlarm);
    m_display->setColorUnAckNormal(unAckNormal);
}

void HostedDisplay::placeAt(std::optional<QPoint> topLeft)
{
    m_display->frm()->placeAt(topLeft);
}

std::optional<QPoint> HostedDisplay::shownPosition() const
{
    return m_display->frm()->shownPosition();
}

Display *hostedDisplay(InstrumentDisplay *display)
{
    auto *hosted = qobject_cast<HostedDisplay *>(display);
    return hosted ? &hosted->display() : nullptr;
}

namespace
{
class MessageWindow : public StatusWindow
{
public:
    void Message(const QString &text, const QString &title) override { m_box.Message(text, title); }
    void Hide() override { m_box.Hide(); }

private:
    ui::MsgBox m_box;
};
} // namespace

std::unique_ptr<InstrumentDisplay> DesktopWindows::createDisplay()
{
    return std::make_unique<HostedDisplay>();
}

std::unique_ptr<StatusWindow> DesktopWindows::createStatusWindow()
{
    return std::make_unique<MessageWindow>();
}

void DesktopWindows::showProperties(kest721Assistant &assistant)
{
    norvale::assistant::showProperties(assistant);
}

void DesktopWindows::showOptions(kest721Assistant &assistant)
{
    norvale::assistant::showOptions(assistant);
}

void DesktopWindows::showIntegrate(kest721Assistant &assistant)
{
    norvale::assistant::showIntegrate(assistant);
}

void DesktopWindows::showAbout(kest721Assistant &assistant)
{
    norvale::assistant::showAbout(assistant);
}

void DesktopWindows::unloadDialogs()
{
    norvale::assistant::unloadAll();
}

bool DesktopWindows::integrationRunning()
{
    return norvale::assistant::integrationRunning();
}

void DesktopWindows::endIntegration()
{
    norvale::assistant::endIntegration();
}

void DesktopWindows::assistantGone(kest721Assistant *assistant)
{
    norvale::assistant::assistantGone(assistant);
}

} // namespace norvale::assistant
