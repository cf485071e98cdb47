#pragma once
// The Assistant's windows on the desktop: the hosted virtual instrument
// (the display component's Display and its window), the message window as
// the status window, and the dialogs.
#include "assistant/AssistantWindows.h"

#include <memory>

namespace norvale::uicontrol
{
class Display;
}

namespace norvale::assistant
{

using uicontrol::Display;

// The display component's Display as the Assistant's instrument display.
class HostedDisplay : public InstrumentDisplay
{
    Q_OBJECT
public:
    HostedDisplay();
    ~HostedDisplay() override;
    void Reset() override;
    void Show() override;
    void Hide() override;
    void ShowMessage(const QString &message) override;
    void setValue(double value) override;
    void setUnits(const QString &units) override;
    void setScaleNumber(int16_t scale) override;
    void setAlarmState(modAlarm::enumAlarmState state) override;
    void setAlarmValue(const QString &text) override;
    void setUseAcknowledge(bool use) override;
    void setColors(uint32_t ackNormal, uint32_t unAckAlarm, uint32_t ackAlarm,
                   uint32_t unAckNormal) override;
    void placeAt(std::optional<QPoint> topLeft) override;
    std::optional<QPoint> shownPosition() const override;

    // The display object itself, which the server publishes on the bus.
    Display &display() const { return *m_display; }

private:
    std::unique_ptr<Display> m_display;
};

class DesktopWindows : public AssistantWindows
{
public:
    std::unique_ptr<InstrumentDisplay> createDisplay() override;
    std::unique_ptr<StatusWindow> createStatusWindow() override;
    void showProperties(kest721Assistant &assistant) override;
    void showOptions(kest721Assistant &assistant) override;
    void showIntegrate(kest721Assistant &assistant) override;
    void showAbout(kest721Assistant &assistant) override;
    void unloadDialogs() override;
    bool integrationRunning() override;
    void endIntegration() override;
    void assistantGone(kest721Assistant *assistant) override;
};

// The hosted display behind an Assistant's instrument display, or null when
// its windows are not the desktop's.
Display *hostedDisplay(InstrumentDisplay *display);

} // namespace norvale::assistant
